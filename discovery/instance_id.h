// Windows-form device instance identifiers and port names, built from what the system's device
// database tells about a USB device. Existing settings files name devices by prefixes of these
// identifiers ("USB\VID_05C6&PID_9003&MI_00"), so the same files find the same device here.
//
// Pure functions over plain records: nothing here reads the device database.
#pragma once

#include <optional>
#include <string>

// Identifiers longer than this are unreadable ("?"), as the platform's identifier buffer holds 200
// characters with the terminating zero.
constexpr std::size_t kMaxInstanceId = 199;
constexpr const char* kUnreadableId = "?";

// A serial port as the device database describes it. Text values are the raw attribute values
// (hex numbers in whatever case sysfs uses); empty when the attribute is missing.
struct UsbPortRecord {
    std::string device_node;       // /dev/ttyUSB0
    std::string vendor_id;         // idVendor of the USB device, "05c6"
    std::string product_id;        // idProduct
    std::string interface_number;  // bInterfaceNumber of the USB interface, "00"
    std::string num_interfaces;    // bNumInterfaces of the USB device, " 3"
    std::string serial;            // the USB device's serial number string
    std::string product;           // the USB device's product string
    std::string driver;            // the interface's driver
    std::string location;          // the interface's name on the bus, "1-1:1.0"
    std::string device_location;   // the USB device's name on the bus, "1-1"
};

// A disk drive of a USB mass-storage device.
struct UsbDiskRecord {
    std::string device_node;      // /dev/sdb
    std::string vendor;           // SCSI vendor, 8 characters padded with blanks
    std::string model;            // SCSI model, 16 characters
    std::string rev;              // SCSI revision, 4 characters
    std::string serial;           // the USB device's serial number string
    std::string device_location;  // the USB device's name on the bus, "1-2"
};

// "USB\VID_%04X&PID_%04X&MI_%02X\<instance>" for an interface of a composite device,
// "USB\VID_%04X&PID_%04X\<serial or instance>" for a device with one interface; "?" when the
// numbers cannot be read.
std::string port_instance_id(const UsbPortRecord& port);

// The USB device a port of the PORTS class belongs to, from its instance identifier and its
// parent's (empty when the parent is unknown): a USB port without "&MI_" is the USB device itself;
// an interface's port belongs to its parent when that is a USB device; otherwise the identifier
// without its interface part ("&MI_xx", and the last "&" field of the instance, which Windows gives
// a composite device's interfaces).
std::string port_usb_device(const std::string& port_id, const std::string& parent_id);

// The USB serial number as a modem's identity shows it: the serial number string when Windows
// would take it as the device's instance (printable ASCII, no blank, no comma), else empty.
std::string usb_serial(const std::string& raw);

// The serial number a USB device's instance identifier carries ("USB\VID_05C6&PID_9003\<serial>"),
// empty when the instance is one Windows made up from the device's place ("5&1A2B3C&0&4").
std::string usb_serial_from_device_id(const std::string& device_id);

// "<hub's instance identifier>#USB(<port>)": where a USB device sits when Windows gives it no
// location path; empty when either part is unknown.
std::string hub_port_location(const std::string& hub_id, unsigned long port);

// "USBSTOR\DISK&VEN_<vendor>&PROD_<model>&REV_<rev>\<serial>&0" in upper case, blanks at the end of
// each field dropped and inner blanks written as '_'.
std::string disk_instance_id(const UsbDiskRecord& disk);

// What the port calls itself without its number: the product string, else the driver's name.
std::string port_description(const UsbPortRecord& port);

// "<description> (COM<n>)".
std::string port_friendly_name(const UsbPortRecord& port, int number);

// The number after the first "COM" in a port name: up to 10 decimal digits, 0 when none follow.
// Nothing when the name holds no "COM" or the number does not fit an int.
std::optional<int> com_number_from_name(const std::string& name);
