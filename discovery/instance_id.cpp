#include "discovery/instance_id.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// sysfs writes idVendor and idProduct as "%04x" and bInterfaceNumber as "%02x".
std::optional<unsigned> parse_hex(const std::string& raw, std::size_t max_digits) {
    std::string text = trim(raw);
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::toupper(c) - 'A' + 10);
    }
    return value;
}

// Windows takes a device's serial number string as its instance only when every character is
// printable ASCII other than a blank or a comma; otherwise the instance comes from the location.
bool usable_serial(const std::string& serial) {
    if (serial.empty()) return false;
    for (char c : serial) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == ',') return false;
    }
    return true;
}

std::string or_zero(const std::string& text) {
    return text.empty() ? "0" : text;
}

// A SCSI inquiry field: cut to its width, blanks at the end dropped, inner blanks as '_'.
std::string scsi_field(const std::string& raw, std::size_t width) {
    std::string text = raw.substr(0, width);
    std::size_t end = text.find_last_not_of(' ');
    text = end == std::string::npos ? "" : text.substr(0, end + 1);
    for (char& c : text)
        if (c == ' ') c = '_';
    return text;
}

std::string bounded(std::string id) {
    return id.size() > kMaxInstanceId ? kUnreadableId : id;
}

}  // namespace

std::string port_instance_id(const UsbPortRecord& port) {
    std::optional<unsigned> vid = parse_hex(port.vendor_id, 4);
    std::optional<unsigned> pid = parse_hex(port.product_id, 4);
    if (!vid || !pid) return kUnreadableId;

    // A device with more than one interface gets one child per interface under the composite
    // driver, and only those children carry MI_xx. An unknown count is taken as composite, the
    // usual case for a modem.
    std::string count = trim(port.num_interfaces);
    bool composite = count != "1";

    char head[64];
    if (composite) {
        std::optional<unsigned> mi = parse_hex(port.interface_number, 2);
        if (!mi) return kUnreadableId;
        std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X&MI_%02X\\", *vid, *pid, *mi);
        return bounded(head + upper(or_zero(port.location)));
    }
    std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X\\", *vid, *pid);
    return bounded(
        head + (usable_serial(port.serial) ? port.serial : upper(or_zero(port.device_location))));
}

std::string port_usb_device(const std::string& port_id, const std::string& parent_id) {
    constexpr const char* kUsb = "USB\\";
    constexpr const char* kUsbDevice = "USB\\VID_";
    constexpr const char* kInterface = "&MI_";
    constexpr std::size_t kInterfaceDigits = 2;
    const std::size_t instance = port_id.find('\\', std::strlen(kUsb));
    const std::string hardware = port_id.substr(0, instance);
    const std::size_t mi = hardware.find(kInterface);
    const bool usb = port_id.rfind(kUsb, 0) == 0;
    if (usb && mi == std::string::npos) return port_id;
    if (parent_id.rfind(kUsbDevice, 0) == 0) return parent_id;
    if (!usb || instance == std::string::npos) return port_id;
    std::string device = hardware;
    device.erase(mi, std::min(device.size() - mi, std::strlen(kInterface) + kInterfaceDigits));
    std::string tail = port_id.substr(instance);
    const std::size_t last = tail.rfind('&');
    return device + (last == std::string::npos ? tail : tail.substr(0, last));
}

std::string usb_serial(const std::string& raw) {
    return usable_serial(raw) ? raw : "";
}

std::string usb_serial_from_device_id(const std::string& device_id) {
    const std::size_t slash = device_id.rfind('\\');
    if (slash == std::string::npos || device_id.rfind("USB\\", 0) != 0) return "";
    const std::string instance = device_id.substr(slash + 1);
    return instance.find('&') == std::string::npos ? usb_serial(instance) : "";
}

std::string hub_port_location(const std::string& hub_id, unsigned long port) {
    if (hub_id.empty() || port == 0) return "";
    return hub_id + "#USB(" + std::to_string(port) + ")";
}

std::string disk_instance_id(const UsbDiskRecord& disk) {
    std::string instance = usable_serial(disk.serial) ? disk.serial : or_zero(disk.device_location);
    std::string id = "USBSTOR\\DISK&VEN_" + scsi_field(disk.vendor, 8) + "&PROD_" +
                     scsi_field(disk.model, 16) + "&REV_" + scsi_field(disk.rev, 4) + "\\" +
                     instance + "&0";
    return bounded(upper(id));
}

std::string port_description(const UsbPortRecord& port) {
    std::string product = trim(port.product);
    if (!product.empty()) return product;
    std::string driver = trim(port.driver);
    return driver.empty() ? "USB Serial Port" : driver;
}

std::string port_friendly_name(const UsbPortRecord& port, int number) {
    return port_description(port) + " (COM" + std::to_string(number) + ")";
}

std::optional<int> com_number_from_name(const std::string& name) {
    std::size_t at = name.find("COM");
    if (at == std::string::npos) return std::nullopt;
    long long value = 0;
    std::size_t digits = 0;
    for (std::size_t i = at + 3; i < name.size() && digits < 10; ++i, ++digits) {
        char c = name[i];
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    if (value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}
