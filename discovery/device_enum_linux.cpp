// The device database is udev's view of sysfs. A USB serial port is a tty whose ancestors include a
// usb_interface and its usb_device; a USB disk is a block disk below a SCSI device below a
// usb_device (the mass-storage interface sits in between).
#include <libudev.h>

#include <memory>

#include "discovery/device_enum.h"

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T>
using Owned = std::unique_ptr<T, UdevDeleter>;

std::string attr(udev_device* device, const char* name) {
    if (!device) return "";
    const char* value = udev_device_get_sysattr_value(device, name);
    return value ? value : "";
}

std::string text(const char* value) {
    return value ? value : "";
}

// Calls visit for every device of subsystem (and devtype, when given) in enumeration order.
template <class Visit>
bool for_each_device(const char* subsystem, const char* devtype, Visit visit) {
    Owned<udev> context(udev_new());
    if (!context) return false;
    Owned<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return false;
    if (udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0) return false;
    if (devtype && udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", devtype) < 0)
        return false;
    if (udev_enumerate_scan_devices(enumerate.get()) < 0) return false;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        Owned<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (device) visit(device.get());
    }
    return true;
}

}  // namespace

std::optional<std::vector<UsbPortRecord>> enumerate_usb_ports() {
    std::vector<UsbPortRecord> ports;
    bool ok = for_each_device("tty", nullptr, [&](udev_device* tty) {
        const char* node = udev_device_get_devnode(tty);
        // Parents belong to the child and need no unref.
        udev_device* interface =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
        if (!node || !interface || !usb) return;
        UsbPortRecord port;
        port.device_node = node;
        port.vendor_id = attr(usb, "idVendor");
        port.product_id = attr(usb, "idProduct");
        port.num_interfaces = attr(usb, "bNumInterfaces");
        port.serial = attr(usb, "serial");
        port.product = attr(usb, "product");
        port.interface_number = attr(interface, "bInterfaceNumber");
        port.driver = text(udev_device_get_driver(interface));
        port.location = text(udev_device_get_sysname(interface));
        port.device_location = text(udev_device_get_sysname(usb));
        ports.push_back(std::move(port));
    });
    if (!ok) return std::nullopt;
    return ports;
}

std::optional<std::vector<UsbDiskRecord>> enumerate_usb_disks() {
    std::vector<UsbDiskRecord> disks;
    bool ok = for_each_device("block", "disk", [&](udev_device* block) {
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(block, "usb", "usb_device");
        if (!usb) return;
        udev_device* scsi =
            udev_device_get_parent_with_subsystem_devtype(block, "scsi", "scsi_device");
        UsbDiskRecord disk;
        disk.device_node = text(udev_device_get_devnode(block));
        disk.vendor = attr(scsi, "vendor");
        disk.model = attr(scsi, "model");
        disk.rev = attr(scsi, "rev");
        disk.serial = attr(usb, "serial");
        disk.device_location = text(udev_device_get_sysname(usb));
        disks.push_back(std::move(disk));
    });
    if (!ok) return std::nullopt;
    return disks;
}
