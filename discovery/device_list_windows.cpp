// The present ports and disk drives from the device installation functions: the class named
// "PORTS" or "DiskDrive", its present devices, their instance identifiers and names.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/instance_id.h"

namespace {

constexpr DWORD kPropertyBuffer = 1024;

// The device list of the class of that name, present devices only; nullptr when there is none.
HDEVINFO present_devices(const char* class_name) {
    GUID guid{};
    DWORD found = 0;
    if (!::SetupDiClassGuidsFromNameExA(class_name, &guid, 1, &found, nullptr, nullptr) ||
        found == 0)
        return nullptr;
    HDEVINFO list =
        ::SetupDiGetClassDevsExA(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    return list == INVALID_HANDLE_VALUE ? nullptr : list;
}

// The instance identifier into a 200-character buffer, "?" when it cannot be read.
std::string instance_id(HDEVINFO list, SP_DEVINFO_DATA& device) {
    char id[kMaxInstanceId + 1] = {};
    if (::SetupDiGetDeviceInstanceIdA(list, &device, id, sizeof id, nullptr)) return id;
    if (::CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0) == CR_SUCCESS && id[0]) return id;
    return kUnreadableId;
}

// The instance identifier of the device's parent (for a USB interface's port, its USB device);
// empty when it has none or it cannot be read.
std::string parent_id(SP_DEVINFO_DATA& device) {
    DEVINST parent = 0;
    char id[kMaxInstanceId + 1] = {};
    if (::CM_Get_Parent(&parent, device.DevInst, 0) != CR_SUCCESS) return "";
    if (::CM_Get_Device_IDA(parent, id, sizeof id, 0) != CR_SUCCESS) return "";
    return id;
}

// A string property, grown to the reported size when it does not fit.
std::optional<std::string> string_property(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD which) {
    std::vector<char> buffer(kPropertyBuffer + 1);
    DWORD size = kPropertyBuffer;
    DWORD type = 0;
    while (!::SetupDiGetDeviceRegistryPropertyA(
        list, &device, which, &type, reinterpret_cast<BYTE*>(buffer.data()), size, &size)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || type != REG_SZ) return std::nullopt;
        buffer.assign(size + 1, '\0');
    }
    buffer[size < buffer.size() ? size : buffer.size() - 1] = '\0';
    return std::string(buffer.data());
}

// Location paths are a few hundred bytes; a device claiming more is not believed.
constexpr DWORD kMaxLocationBytes = 4096;

// The first of the device's location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"), empty when
// it has none.
std::string first_location_path(HDEVINFO list, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    DWORD type = 0;
    ::SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_LOCATION_PATHS, &type, nullptr, 0,
                                        &size);
    if (size == 0 || size > kMaxLocationBytes) return "";
    std::vector<char> buffer(size + 2, '\0');  // the zeros end the first path whatever was read
    if (!::SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_LOCATION_PATHS, &type,
                                             reinterpret_cast<BYTE*>(buffer.data()), size,
                                             nullptr) ||
        type != REG_MULTI_SZ)
        return "";
    return buffer.data();
}

// The port of its hub a USB device is plugged into (its address), 0 when unknown.
unsigned long hub_port(HDEVINFO list, SP_DEVINFO_DATA& device) {
    DWORD port = 0;
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_ADDRESS, &type,
                                             reinterpret_cast<BYTE*>(&port), sizeof port,
                                             nullptr) ||
        type != REG_DWORD)
        return 0;
    return port;
}

struct Identity {
    std::string location;
    std::string serial;
    bool placed = false;  // the location names where the device is plugged in
};

// Where the USB device of that instance identifier is plugged in: its location path, else its hub
// and port, else the identifier itself; and the serial number its identifier carries.
Identity usb_identity(const std::string& usb_id) {
    Identity identity{usb_id, usb_serial_from_device_id(usb_id), false};
    if (usb_id.rfind("USB\\", 0) != 0) return identity;
    HDEVINFO list = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (list == INVALID_HANDLE_VALUE) return identity;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (::SetupDiOpenDeviceInfoA(list, usb_id.c_str(), nullptr, 0, &device)) {
        std::string place = first_location_path(list, device);
        if (place.empty()) place = hub_port_location(parent_id(device), hub_port(list, device));
        if (!place.empty()) identity = Identity{place, identity.serial, true};
    }
    ::SetupDiDestroyDeviceInfoList(list);
    return identity;
}

}  // namespace

std::optional<PortDeviceList> list_present_ports() {
    HDEVINFO list = present_devices("PORTS");
    if (!list) return std::nullopt;
    PortDeviceList ports;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        const std::string id = instance_id(list, device);
        const Identity identity = usb_identity(port_usb_device(id, parent_id(device)));
        ports.push_back({id, string_property(list, device, SPDRP_FRIENDLYNAME),
                         string_property(list, device, SPDRP_DEVICEDESC), identity.location,
                         identity.serial, identity.placed});
    }
    ::SetupDiDestroyDeviceInfoList(list);
    return ports;
}

// A disk's USB device sits behind its storage driver's device: its location is left unknown, and
// a disk then stands for whichever modem is awaited.
std::optional<std::vector<DiskDevice>> list_present_disks() {
    HDEVINFO list = present_devices("DiskDrive");
    if (!list) return std::nullopt;
    std::vector<DiskDevice> disks;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list, index, &device); ++index)
        disks.push_back({instance_id(list, device), ""});
    ::SetupDiDestroyDeviceInfoList(list);
    return disks;
}
