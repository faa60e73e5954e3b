// find_port and find_any_port against USB serial ports in the mocked device database.
#include <gtest/gtest.h>

#include "discovery/device_enum.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "link/port_table.h"
#include "testbed/testbed.h"
#include "tests/discovery/program_folder.h"

namespace {

using testbed::FakeDevice;
using testbed::Testbed;
using testbed::UsbPortSpec;

// The USB device's name on the bus: the last part of its sysfs path.
std::string location_of(const FakeDevice& device) {
    const std::string& usb = device.syspaths.back();
    return usb.substr(usb.rfind('/') + 1);
}

class PortSearch : public testing::Test {
  protected:
    void SetUp() override { search_.settings = folder_.settings(); }
    void TearDown() override {
        // Latest first: a port may sit on the USB device of one added before it.
        for (auto d = devices_.rbegin(); d != devices_.rend(); ++d)
            Testbed::instance().remove(*d);
    }

    FakeDevice add(unsigned vid, unsigned pid, unsigned interface = 0, unsigned interfaces = 3) {
        UsbPortSpec config;
        config.vendor_id = vid;
        config.product_id = pid;
        config.interface_number = interface;
        config.num_interfaces = interfaces;
        devices_.push_back(Testbed::instance().add_port(config));
        return devices_.back();
    }

    // The COM number the search finds, -1 for none.
    int find(int type) { return number_of(find_port(type, search_)); }
    static int number_of(const std::optional<FoundPort>& port) { return port ? port->number : -1; }

    ProgramFolder folder_;
    std::vector<FakeDevice> devices_;
    ::PortSearch search_;  // the fixture has the search's name
};

TEST_F(PortSearch, FindsTheDiagPortAndReadsItsNumberFromItsName) {
    FakeDevice modem = add(0x05C6, 0x9003);
    folder_.write_settings("idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    const std::optional<FoundPort> port = find_port(PORT_DIAG, search_);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->number, port_table_register(modem.device_node));
    EXPECT_EQ(port->type, PORT_DIAG);
    EXPECT_EQ(port->location, location_of(modem));
    EXPECT_EQ(folder_.take_log(),
              "start find port ini_path = " + folder_.dir() +
                  "/settings.ini\n"
                  "start find port id num = 1 type = 0\n"
                  "start find diag port\n"
                  "find com name = USB\\VID_05C6&PID_9003&MI_00\\" +
                  modem.syspaths.back().substr(modem.syspaths.back().rfind('/') + 1) +
                  ":1.0\n"
                  "my com name = USB\\VID_05C6&PID_9003&MI_00\n"
                  "Find my com name = USB\\VID_05C6&PID_9003&MI_00 OK!!!\n");
}

// A modem is one entry at its USB location however many of its ports match, and in whatever mode
// it is; its serial comes with it.
TEST_F(PortSearch, ModemsAreListedOncePerUsbLocation) {
    folder_.write_settings(
        "idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\ndownload0=USB\\VID_05C6&PID_9100\n"
        "savedownload0=USB\\VID_05C6&PID_9003&MI_01\n");
    UsbPortSpec first;
    first.serial = "SN0001";
    devices_.push_back(Testbed::instance().add_port(first));
    const FakeDevice diag = devices_.back();
    UsbPortSpec other_interface;
    other_interface.interface_number = 1;
    other_interface.usb_device = diag.syspaths.back();
    devices_.push_back(Testbed::instance().add_port(other_interface));
    add(0x1234, 0x0001);  // not the package's
    std::vector<PackageModem> modems =
        list_package_modems(folder_.settings()).value_or(std::vector<PackageModem>{});
    ASSERT_EQ(modems.size(), 1u);
    EXPECT_EQ(modems[0].location, location_of(diag));
    EXPECT_EQ(modems[0].serial, "SN0001");
    ASSERT_EQ(modems[0].ports.size(), 2u);
    EXPECT_EQ(modems[0].ports[0].type, PORT_DIAG);
    EXPECT_EQ(modems[0].ports[0].number, port_table_register(diag.device_node));
    EXPECT_EQ(modems[0].ports[1].type, PORT_SAVEDOWNLOAD);

    const FakeDevice boot = add(0x05C6, 0x9100, 0, 1);  // a second modem, in its boot downloader
    modems = list_package_modems(folder_.settings()).value_or(std::vector<PackageModem>{});
    ASSERT_EQ(modems.size(), 2u);
    EXPECT_EQ(count_package_modems(folder_.settings()), 2);
    EXPECT_EQ(modems[1].location, location_of(boot));
    EXPECT_NE(modems[1].location, modems[0].location);
    EXPECT_EQ(modems[1].serial, "");
    ASSERT_EQ(modems[1].ports.size(), 1u);
    EXPECT_EQ(modems[1].ports[0].type, PORT_DOWNLOAD);
    EXPECT_EQ(modems[1].ports[0].number, port_table_register(boot.device_node));
}

TEST_F(PortSearch, EachPortTypeReadsItsOwnKeys) {
    FakeDevice download = add(0x05C6, 0x9100, 0, 1);
    FakeDevice save = add(0x1234, 0x0002, 1, 2);
    folder_.write_settings(
        "idnum=1\ndiag0=USB\\VID_05C6&PID_9003\ndownload0=USB\\VID_05C6&PID_9100\\\n"
        "savedownload0=USB\\VID_1234&PID_0002&MI_01\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
    EXPECT_EQ(find(PORT_DOWNLOAD), port_table_register(download.device_node));
    EXPECT_EQ(find(PORT_SAVEDOWNLOAD), port_table_register(save.device_node));
    std::string log = folder_.take_log();
    EXPECT_EQ(count_of(log, "start find diag port\n"), 1);
    EXPECT_EQ(count_of(log, "start find dl port\n"), 1);
    EXPECT_EQ(count_of(log, "start find save port\n"), 1);
    EXPECT_EQ(count_of(log, "Couldn't find com port\n"), 1);
}

TEST_F(PortSearch, FindAnyPortTriesDiagThenDownloadThenSave) {
    FakeDevice save = add(0x1234, 0x0002);
    folder_.write_settings(
        "idnum=1\ndiag0=USB\\VID_1234&PID_0001\ndownload0=USB\\VID_1234&PID_0003\n"
        "savedownload0=USB\\VID_1234&PID_0002\n");
    EXPECT_EQ(number_of(find_any_port(search_)), port_table_register(save.device_node));
    std::string log = folder_.take_log();
    EXPECT_LT(log.find("type = 0"), log.find("type = 1"));
    EXPECT_LT(log.find("type = 1"), log.find("type = 2"));
    EXPECT_EQ(count_of(log, "Couldn't find com port\n"), 2);
}

TEST_F(PortSearch, WithoutIdnumNoPortIsLookedAt) {
    add(0x05C6, 0x9003);
    folder_.write_settings("diag0=USB\\VID_05C6&PID_9003&MI_00\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
    EXPECT_EQ(folder_.take_log(), "start find port ini_path = " + folder_.dir() +
                                      "/settings.ini\n"
                                      "start find port id num = 0 type = 0\n"
                                      "Couldn't find com port\n");
}

TEST_F(PortSearch, IdnumZeroSearchesNothing) {
    add(0x05C6, 0x9003);
    folder_.write_settings("idnum=0\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
    EXPECT_EQ(count_of(folder_.take_log(), "find com name"), 0);
}

TEST_F(PortSearch, MissingSecondKeySearchesAgainForTheFirstValue) {
    add(0x05C6, 0x9003);
    folder_.write_settings("idnum=2\ndiag0=USB\\VID_05C6&PID_9004\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
    std::string log = folder_.take_log();
    EXPECT_EQ(count_of(log, "start find diag port\n"), 2);
    EXPECT_EQ(count_of(log, "my com name = USB\\VID_05C6&PID_9004\n"), 2);
    EXPECT_EQ(search_.last_identifier, "USB\\VID_05C6&PID_9004");
}

TEST_F(PortSearch, EmptyFirstValueSearchesForTheBuiltinPrefix) {
    FakeDevice modem = add(0x05C6, 0x9003);
    folder_.write_settings("idnum=2\ndiag0=\n");
    EXPECT_EQ(find(PORT_DIAG), port_table_register(modem.device_node));
    EXPECT_EQ(count_of(folder_.take_log(), "my com name = USB\\VID_05C6&PID_9003&MI_00\n"), 1);
}

TEST_F(PortSearch, FirstMatchingPortInEnumerationOrderWins) {
    add(0x05C6, 0x9003, 0);
    add(0x05C6, 0x9003, 0);
    folder_.write_settings("idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    std::optional<std::vector<UsbPortRecord>> ports = enumerate_usb_ports();
    ASSERT_TRUE(ports);
    ASSERT_EQ(ports->size(), 2u);
    EXPECT_EQ(find(PORT_DIAG), port_table_register(ports->front().device_node));
    EXPECT_EQ(count_of(folder_.take_log(), "find com name = "), 1);
}

TEST_F(PortSearch, LowerCasePrefixDoesNotMatch) {
    add(0x05C6, 0x9003);
    folder_.write_settings("idnum=1\ndiag0=usb\\vid_05c6&pid_9003&mi_00\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
}

TEST_F(PortSearch, SecondIdentifierFindsAPortTheFirstMissed) {
    FakeDevice modem = add(0x05C6, 0x9003, 2);
    folder_.write_settings(
        "idnum=3\ndiag0=USB\\VID_05C6&PID_9003&MI_00\ndiag1=USB\\VID_05C6&PID_9003&MI_02\n");
    EXPECT_EQ(find(PORT_DIAG), port_table_register(modem.device_node));
    EXPECT_EQ(count_of(folder_.take_log(), "start find diag port\n"), 2);
}

TEST_F(PortSearch, PortsWithoutAUsbDeviceAreNotListed) {
    devices_.push_back(Testbed::instance().add_plain_port());
    FakeDevice modem = add(0x05C6, 0x9003);
    std::optional<std::vector<UsbPortRecord>> ports = enumerate_usb_ports();
    ASSERT_TRUE(ports);
    ASSERT_EQ(ports->size(), 1u);
    EXPECT_EQ(ports->front().device_node, modem.device_node);
}

TEST_F(PortSearch, APortKeepsItsNumberAcrossSearches) {
    FakeDevice first = add(0x05C6, 0x9003);
    folder_.write_settings("idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    int number = find(PORT_DIAG);
    FakeDevice other = add(0x1234, 0x0001);
    EXPECT_EQ(find(PORT_DIAG), number);
    EXPECT_NE(port_table_register(other.device_node), number);
}

TEST_F(PortSearch, LeavesAPortItDidNotOpenAlone) {
    FakeDevice modem = add(0x05C6, 0x9003);
    folder_.write_settings("idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    DeviceLine line;
    line.port->Open(port_table_register(modem.device_node));
    ASSERT_TRUE(line.port->IsOpen());
    EXPECT_EQ(find(PORT_DIAG), port_table_register(modem.device_node));
    EXPECT_TRUE(line.port->IsOpen()) << "another device's run may be using it";
}

TEST_F(PortSearch, IdentifierSearchKeepsTheIdentifierForLaterSearches) {
    FakeDevice modem = add(0x05C6, 0x9100, 0, 1);
    EXPECT_EQ(number_of(find_port_by_id("USB\\VID_05C6&PID_9100", search_)),
              port_table_register(modem.device_node));
    // An empty identifier searches again for the one named last.
    EXPECT_EQ(number_of(find_port_by_id("", search_)), port_table_register(modem.device_node));
    EXPECT_EQ(search_.last_identifier, "USB\\VID_05C6&PID_9100");
    EXPECT_EQ(number_of(find_port_by_id("USB\\VID_05C6&PID_9003", search_)), -1);
}

// A run bound to one modem never takes another's port for its own, in whatever order the ports
// are listed.
TEST_F(PortSearch, SearchAtALocationSeesOnlyThePortsOfTheModemPluggedInThere) {
    folder_.write_settings("idnum=1\ndownload0=USB\\VID_05C6&PID_9100\n");
    const FakeDevice other = add(0x05C6, 0x9100, 0, 1);
    UsbPortSpec identity;
    identity.product_id = 0x9100;
    identity.num_interfaces = 1;
    identity.serial = "SN0002";
    devices_.push_back(Testbed::instance().add_port(identity));
    const FakeDevice ours = devices_.back();
    search_.location = location_of(ours);
    const std::optional<FoundPort> found = find_port(PORT_DOWNLOAD, search_);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->number, port_table_register(ours.device_node));
    EXPECT_EQ(found->serial, "SN0002");
    EXPECT_EQ(count_of(folder_.take_log(), "find com name = "), 1) << "the other modem's port";
    Testbed::instance().remove(ours);
    devices_.pop_back();
    EXPECT_EQ(find(PORT_DOWNLOAD), -1);
    search_.location.clear();
    EXPECT_EQ(find(PORT_DOWNLOAD), port_table_register(other.device_node));
}

TEST_F(PortSearch, HugeIdnumIsCutToAHundredIdentifiers) {
    folder_.write_settings("idnum=2000000000\ndiag0=USB\\VID_05C6&PID_9003&MI_00\n");
    EXPECT_EQ(find(PORT_DIAG), -1);
    std::string log = folder_.take_log();
    EXPECT_NE(log.find("start find port id num = 2000000000 type = 0\n"), std::string::npos);
    EXPECT_EQ(count_of(log, "start find diag port\n"), 100);
}

}  // namespace
