// The present ports and disk drives from udev, with identifiers and names in the form existing
// settings files use. Every port seen gets its number in the process-wide port table, which is
// what its name shows and what the serial port opens.
#include "discovery/device_enum.h"
#include "discovery/device_list.h"
#include "discovery/instance_id.h"
#include "link/port_table.h"

std::optional<PortDeviceList> list_present_ports() {
    std::optional<std::vector<UsbPortRecord>> records = enumerate_usb_ports();
    if (!records) return std::nullopt;
    PortDeviceList list;
    for (const UsbPortRecord& record : *records) {
        int number = port_table_register(record.device_node);
        // The USB device's name on the bus (1-1.4) is shared by all of a modem's ports.
        list.push_back({port_instance_id(record), port_friendly_name(record, number),
                        port_description(record), record.device_location,
                        usb_serial(record.serial)});
    }
    return list;
}

std::optional<std::vector<DiskDevice>> list_present_disks() {
    std::optional<std::vector<UsbDiskRecord>> disks = enumerate_usb_disks();
    if (!disks) return std::nullopt;
    std::vector<DiskDevice> found;
    for (const UsbDiskRecord& disk : *disks)
        found.push_back({disk_instance_id(disk), disk.device_location});
    return found;
}
