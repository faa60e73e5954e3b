// The mocked device database and device nodes of umockdev, set up the way the program meets real
// USB modems and disks: a USB device with its interface and a tty below it, or a USB mass-storage
// device with its SCSI device and block disk. One testbed per process (umockdev's root folder is
// process-wide); every test and the demo reach umockdev through here only.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testbed {

// A USB device with one serial port.
struct UsbPortSpec {
    unsigned vendor_id = 0x05C6;
    unsigned product_id = 0x9003;
    unsigned interface_number = 0;             // the port's interface
    unsigned num_interfaces = 3;               // more than 1 makes a composite device
    std::string product = "USB Modem";         // empty: the device has no product string
    std::string serial;                        // empty: no serial number
    std::string driver = "usbserial_generic";  // the interface's driver; empty: none
    bool vendor_id_lower_case = true;          // sysfs writes hex numbers in lower case
    // The hub port the new USB device is plugged into: its name on the bus, "1-1.2", which is
    // how the program tells one plugged-in device from another. Empty: a bus position never used
    // before in this process.
    std::string hub_port;
    // The USB device of a port added before (the last of its syspaths), or one from
    // add_usb_device: the port is another interface of it, and the device's numbers, strings and
    // hub port above are not used. Empty: a new one.
    std::string usb_device;
};

// A USB mass-storage device with one disk. vendor, model and rev are padded with blanks to 8, 16
// and 4 characters, as the kernel shows them.
struct UsbDiskSpec {
    unsigned vendor_id = 0x05C6;
    unsigned product_id = 0x9003;
    std::string vendor = "Vendor";
    std::string model = "MMC Storage";
    std::string rev = "2.31";
    std::string serial;    // empty: no serial number
    std::string hub_port;  // as for a port; empty: a new bus position
    // A USB device added before: the disk is its interface interface_number, and the numbers,
    // strings and hub port above are not used. Empty: a USB device of the disk's own.
    std::string usb_device;
    unsigned interface_number = 0;
};

// What the testbed added for one device, deepest sysfs path first.
struct FakeDevice {
    std::vector<std::string> syspaths;  // /sys/devices/...
    std::string device_node;            // /dev/ttyUSBn for a port, empty otherwise
    int master_fd = -1;                 // the other end of a port's pseudo-terminal
};

class Testbed {
  public:
    // The process's testbed, created at the first call. Needs the preload (reexec_under_preload),
    // and has to exist before any device monitor is made: one made earlier listens to the real
    // system for good (fw_testbed_main creates it first thing).
    static Testbed& instance();

    // Adds a USB serial port on a new bus position (or on config.usb_device) with a new
    // /dev/ttyUSBn. Its pseudo-terminal is reset to the kernel's cooked defaults, so a program that
    // does not configure its port notices; TIOCEXCL and the modem-line ioctls behave as on a real
    // port.
    FakeDevice add_port(const UsbPortSpec& config);
    // Adds a USB disk on a new bus position (or on config.usb_device).
    FakeDevice add_disk(const UsbDiskSpec& config);
    // A USB device with no interface yet (config's numbers, strings and hub port), for ports and
    // disks to join through their usb_device: a composite device whose parts arrive one by one.
    // Remove it after them.
    FakeDevice add_usb_device(const UsbPortSpec& config);
    // A hub port no device has been given before; adding a device at a hub port that a present
    // device holds fails, so two devices never share a name on the bus.
    std::string new_hub_port();
    // A serial port and a disk with no USB device above them (a built-in UART, a SATA disk).
    FakeDevice add_plain_port();
    FakeDevice add_plain_disk();
    // Sends the remove events, deepest device first, then takes the device out of the database.
    // The pseudo-terminal of a port stays open (umockdev owns it) but nothing reaches it again.
    void remove(const FakeDevice& device);
    // The device's side of a port's line goes, as when a USB-serial device is pulled out: the
    // program's reads of the port meet the end of the line and its writes fail. The port stays
    // in the database until remove(); its pseudo-terminal's number is never used again.
    void hang_up(const FakeDevice& device);

    // The TIOCM_* bits the program last set on a port (DTR, RTS ...); 0 before any.
    unsigned modem_lines(const std::string& device_node);
    // Bytes the device side wrote to a port that the program has not read yet; -1 when unknown.
    int unread(const std::string& device_node);
    // Whether the program asked for exclusive use (TIOCEXCL) of the port.
    bool exclusive(const std::string& device_node);

    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

  private:
    Testbed();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testbed
