#include "discovery/instance_id.h"

#include <gtest/gtest.h>

#include "discovery/port_discovery.h"

namespace {

UsbPortRecord modem_port() {
    UsbPortRecord port;
    port.device_node = "/dev/ttyUSB0";
    port.vendor_id = "05c6";
    port.product_id = "9003";
    port.interface_number = "00";
    port.num_interfaces = " 3";
    port.product = "USB Modem";
    port.driver = "usbserial_generic";
    port.location = "1-1:1.0";
    port.device_location = "1-1";
    return port;
}

struct PortCase {
    const char* name;
    void (*change)(UsbPortRecord&);
    const char* id;
};

const PortCase kPortCases[] = {
    {"composite interface", [](UsbPortRecord&) {}, "USB\\VID_05C6&PID_9003&MI_00\\1-1:1.0"},
    {"third interface",
     [](UsbPortRecord& p) {
         p.interface_number = "02";
         p.location = "1-1:1.2";
     },
     "USB\\VID_05C6&PID_9003&MI_02\\1-1:1.2"},
    {"lower-case hex letters",
     [](UsbPortRecord& p) {
         p.vendor_id = "1a2b";
         p.product_id = "00ff";
         p.interface_number = "0a";
     },
     "USB\\VID_1A2B&PID_00FF&MI_0A\\1-1:1.0"},
    {"short hex", [](UsbPortRecord& p) { p.vendor_id = "5c6"; },
     "USB\\VID_05C6&PID_9003&MI_00\\1-1:1.0"},
    {"single interface with serial",
     [](UsbPortRecord& p) {
         p.num_interfaces = " 1";
         p.serial = "A1b2C3";
     },
     "USB\\VID_05C6&PID_9003\\A1b2C3"},
    {"single interface without serial", [](UsbPortRecord& p) { p.num_interfaces = " 1"; },
     "USB\\VID_05C6&PID_9003\\1-1"},
    {"single interface, serial with a blank",
     [](UsbPortRecord& p) {
         p.num_interfaces = "1";
         p.serial = "AB 12";
     },
     "USB\\VID_05C6&PID_9003\\1-1"},
    {"unknown interface count", [](UsbPortRecord& p) { p.num_interfaces = ""; },
     "USB\\VID_05C6&PID_9003&MI_00\\1-1:1.0"},
    {"vendor unreadable", [](UsbPortRecord& p) { p.vendor_id = ""; }, "?"},
    {"vendor not hex", [](UsbPortRecord& p) { p.vendor_id = "05g6"; }, "?"},
    {"vendor too long", [](UsbPortRecord& p) { p.vendor_id = "105c6"; }, "?"},
    {"interface number unreadable", [](UsbPortRecord& p) { p.interface_number = ""; }, "?"},
    {"identifier longer than the platform allows",
     [](UsbPortRecord& p) {
         p.num_interfaces = "1";
         p.serial = std::string(190, 'S');
     },
     "?"},
};

TEST(PortInstanceId, FollowsTheWindowsForm) {
    for (const PortCase& c : kPortCases) {
        UsbPortRecord port = modem_port();
        c.change(port);
        EXPECT_EQ(port_instance_id(port), c.id) << c.name;
    }
}

struct DiskCase {
    const char* name;
    UsbDiskRecord disk;
    const char* id;
};

const DiskCase kDiskCases[] = {
    {"fields padded by the kernel",
     {"/dev/sdb", "Vendor  ", "MMC Storage     ", "2.31", "0123abc", "1-2"},
     "USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE&REV_2.31\\0123ABC&0"},
    {"inner blanks of every field",
     {"", "A B     ", "Card  Reader  X ", "1 0 ", "SN", "1-2"},
     "USBSTOR\\DISK&VEN_A_B&PROD_CARD__READER__X&REV_1_0\\SN&0"},
    {"fields longer than their width",
     {"", "VeryLongVendor", "A model name that is long", "12345", "SN", ""},
     "USBSTOR\\DISK&VEN_VERYLONG&PROD_A_MODEL_NAME_THA&REV_1234\\SN&0"},
    {"missing serial",
     {"", "Vendor  ", "Disk            ", "1.00", "", "1-4"},
     "USBSTOR\\DISK&VEN_VENDOR&PROD_DISK&REV_1.00\\1-4&0"},
    {"empty fields", {"", "", "", "", "x", ""}, "USBSTOR\\DISK&VEN_&PROD_&REV_\\X&0"},
};

TEST(DiskInstanceId, IsUpperCaseWithBlanksTrimmedAndJoined) {
    for (const DiskCase& c : kDiskCases)
        EXPECT_EQ(disk_instance_id(c.disk), c.id) << c.name;
}

TEST(PortName, IsTheProductStringElseTheDriverWithItsComNumber) {
    UsbPortRecord port = modem_port();
    EXPECT_EQ(port_friendly_name(port, 7), "USB Modem (COM7)");
    port.product = "";
    EXPECT_EQ(port_friendly_name(port, 12), "usbserial_generic (COM12)");
    port.driver = "";
    EXPECT_EQ(port_friendly_name(port, 1), "USB Serial Port (COM1)");
}

TEST(PortName, ComNumberFollowsTheFirstCom) {
    EXPECT_EQ(com_number_from_name("USB Modem (COM12)"), 12);
    EXPECT_EQ(com_number_from_name("COMX (COM3)"), 0) << "the first COM is followed by a letter";
    EXPECT_EQ(com_number_from_name("Modem (COM)"), 0);
    EXPECT_EQ(com_number_from_name("(COM123456789012)"), 1234567890) << "ten digits at most";
    EXPECT_EQ(com_number_from_name("(COM9999999999)"), std::nullopt) << "does not fit an int";
    EXPECT_EQ(com_number_from_name("Modem"), std::nullopt);
    EXPECT_EQ(com_number_from_name("Modem (com4)"), std::nullopt);
}

struct UsbDeviceCase {
    const char* port;
    const char* parent;
    const char* device;
};

// What a Windows port is counted by: a single-interface USB device is its own port; an interface
// belongs to its USB parent, else to its identifier without the interface.
TEST(PortUsbDevice, IsTheUsbDeviceAboveThePort) {
    const UsbDeviceCase cases[] = {
        {"USB\\VID_05C6&PID_9100\\EMU1", "USB\\ROOT_HUB30\\4&1&0", "USB\\VID_05C6&PID_9100\\EMU1"},
        {"USB\\VID_05C6&PID_9003&MI_00\\6&2A&0&0000", "USB\\VID_05C6&PID_9003\\5&1F&0&3",
         "USB\\VID_05C6&PID_9003\\5&1F&0&3"},
        {"USB\\VID_05C6&PID_9003&MI_01\\6&2A&0&0001", "HTREE\\ROOT\\0",
         "USB\\VID_05C6&PID_9003\\6&2A&0"},
        {"USB\\VID_05C6&PID_9003&MI_01", "", "USB\\VID_05C6&PID_9003&MI_01"},
        {"FTDIBUS\\VID_0403+PID_6001+A1\\0000", "USB\\VID_0403&PID_6001\\A1",
         "USB\\VID_0403&PID_6001\\A1"},
        {"ACPI\\PNP0501\\1", "", "ACPI\\PNP0501\\1"},
    };
    for (const UsbDeviceCase& c : cases)
        EXPECT_EQ(port_usb_device(c.port, c.parent), c.device) << c.port;
}

// A modem is its location: its ports are grouped under it whatever their mode, with the serial
// one of them carries; a port of unknown location is a modem of its own.
TEST(PortUsbDevice, PortsOfOneLocationAreOneModem) {
    PortDeviceList list = {
        {"USB\\VID_05C6&PID_9003&MI_00\\1-1:1.0", "Modem (COM3)", "Modem", "1-1", "A1"},
        {"USB\\VID_05C6&PID_9003&MI_02\\1-1:1.2", "Modem (COM4)", "Modem", "1-1", "A1"},
        {"USB\\VID_05C6&PID_9100\\1-2", "Download (COM5)", "Download", "", ""},
        {"USB\\VID_1234&PID_0001\\1-3", "Other (COM6)", "Other", "1-3", ""},
        {"USB\\VID_05C6&PID_9100\\B2", "Download", "Download", "1-4.2", "B2"},
    };
    const std::vector<TypeIdentifiers> diag_only = {
        {PORT_DIAG, {"USB\\VID_05C6&PID_9003&MI_00", "USB\\VID_05C6&PID_9003&MI_02"}}};
    std::vector<PackageModem> modems = group_modems(list, diag_only);
    ASSERT_EQ(modems.size(), 1u);
    EXPECT_EQ(modems[0].location, "1-1");
    EXPECT_EQ(modems[0].serial, "A1");
    ASSERT_EQ(modems[0].ports.size(), 2u);
    EXPECT_EQ(modems[0].ports[1].number, 4);

    modems = group_modems(list, {{PORT_DIAG, {"USB\\VID_05C6&PID_9003&MI_00", ""}},
                                 {PORT_DOWNLOAD, {"USB\\VID_05C6&PID_9100"}}});
    ASSERT_EQ(modems.size(), 3u);
    EXPECT_EQ(modems[0].ports.size(), 1u);
    EXPECT_EQ(modems[1].location, "");
    EXPECT_EQ(modems[1].ports[0].type, PORT_DOWNLOAD);
    EXPECT_EQ(modems[1].ports[0].number, 5);
    EXPECT_EQ(modems[2].location, "1-4.2");
    EXPECT_EQ(modems[2].ports[0].number, -1) << "no COM number in its name";
}

// The serial a Windows USB device's identifier carries: none in an instance made up from its place.
TEST(PortUsbDevice, SerialIsTheInstanceWindowsTookFromTheDevice) {
    EXPECT_EQ(usb_serial_from_device_id("USB\\VID_05C6&PID_9100\\EMU1"), "EMU1");
    EXPECT_EQ(usb_serial_from_device_id("USB\\VID_05C6&PID_9003\\5&1F&0&3"), "");
    EXPECT_EQ(usb_serial_from_device_id("ACPI\\PNP0501\\1"), "");
    EXPECT_EQ(usb_serial_from_device_id("USB\\VID_05C6&PID_9003\\"), "");
    EXPECT_EQ(usb_serial("SN 1"), "") << "not one Windows would take";
    EXPECT_EQ(hub_port_location("USB\\ROOT_HUB30\\4&1&0", 4), "USB\\ROOT_HUB30\\4&1&0#USB(4)");
    EXPECT_EQ(hub_port_location("USB\\ROOT_HUB30\\4&1&0", 0), "");
}

TEST(PortMatch, BuiltinPrefixMatchesItsIdentifierButNotInLowerCase) {
    PortDeviceList list = {
        {"usb\\vid_05c6&pid_9003&mi_00\\1-1:1.0", "Modem (COM3)", "Modem", "", ""},
        {"USB\\VID_05C6&PID_9003&MI_00\\1-2:1.0", "Modem (COM4)", "Modem", "", ""},
    };
    EXPECT_EQ(match_port_device(list, 0, kBuiltinPortPrefix), std::nullopt);
    EXPECT_EQ(match_port_device(list, 1, kBuiltinPortPrefix), 4);
}

TEST(PortMatch, UnreadableIdentifierMatchesOnlyAQuestionMark) {
    PortDeviceList list = {{"?", "Modem (COM5)", "Modem", "", ""}};
    EXPECT_EQ(match_port_device(list, 0, kBuiltinPortPrefix), std::nullopt);
    EXPECT_EQ(match_port_device(list, 0, "?"), 5);
}

TEST(PortMatch, NameWithoutComIsNoMatch) {
    PortDeviceList list = {{"USB\\VID_05C6&PID_9003&MI_00\\1", std::nullopt, "Modem", "", ""},
                           {"USB\\VID_05C6&PID_9003&MI_00\\2", std::nullopt, std::nullopt, "", ""}};
    EXPECT_EQ(match_port_device(list, 0, kBuiltinPortPrefix), std::nullopt);
    EXPECT_EQ(match_port_device(list, 1, kBuiltinPortPrefix), std::nullopt);
}

TEST(PortMatch, NameFallsBackToTheDescription) {
    PortDeviceList list = {
        {"USB\\VID_05C6&PID_9003&MI_00\\1", std::nullopt, "Modem (COM9)", "", ""}};
    EXPECT_EQ(get_device_name(list, 0), "Modem (COM9)");
    EXPECT_EQ(match_port_device(list, 0, kBuiltinPortPrefix), 9);
}

}  // namespace
