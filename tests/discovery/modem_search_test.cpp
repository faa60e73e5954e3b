// The emulated modem as a mocked USB device, found and probed the way the program does it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "diag/diag_commands.h"
#include "discovery/device_enum.h"
#include "discovery/device_events.h"
#include "discovery/disk_discovery.h"
#include "discovery/instance_id.h"
#include "discovery/port_discovery.h"
#include "emulator/emulator.h"
#include "link/device_line.h"
#include "link/port_table.h"
#include "probe/mode_probe.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/modem_bench.h"
#include "tests/discovery/program_folder.h"

namespace {

using namespace std::chrono_literals;

class Events {
  public:
    void add(int event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    std::vector<int> wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
        return events_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> events_;
};

class MockedModem : public testing::Test {
  protected:
    void SetUp() override {
        folder_.write_settings(
            "idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\ndownload0=USB\\VID_05C6&PID_9100\n");
    }
    void TearDown() override { close_port(line); }

    ProgramFolder folder_;
    DeviceLine line;
};

TEST_F(MockedModem, IsFoundInNormalModeAndUnderItsDownloadIdentityAfterTheSwitch) {
    testbed::MockedUsbDevice usb;
    emu::Options options;
    options.provider = &usb;
    emu::Emulator modem(options);
    ASSERT_TRUE(modem.start()) << modem.error();
    ASSERT_TRUE(modem.wait_for(emu::Mode::Diag, 10s));

    PortSearch search;
    search.settings = folder_.settings();
    const std::optional<FoundPort> diag_port = find_port(PORT_DIAG, search);
    ASSERT_TRUE(diag_port);
    const int diag = diag_port->number;
    ASSERT_GE(diag, 1);
    EXPECT_EQ(diag, port_table_register(usb.current_node()));
    EXPECT_EQ(open_port(line, diag), MODE_DIAG);

    Events events;
    {
        DeviceEventThread watcher([&](int event) { events.add(event); });
        EXPECT_EQ(switch_dl_mode(line), 1);
        ASSERT_TRUE(modem.wait_for(emu::Mode::Dload, 10s));
        EXPECT_EQ(events.wait_for(2),
                  (std::vector<int>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}));
    }

    EXPECT_FALSE(find_port(PORT_DIAG, search));
    // Back at its hub port: a search bound to where the modem was found finds it again.
    search.location = diag_port->location;
    const std::optional<FoundPort> download_port = find_port(PORT_DOWNLOAD, search);
    ASSERT_TRUE(download_port);
    EXPECT_EQ(download_port->location, diag_port->location);
    const int download = download_port->number;
    ASSERT_GE(download, 1);
    EXPECT_NE(download, diag) << "a device that comes back in another mode gets a new port";
    EXPECT_EQ(download, port_table_register(usb.current_node()));
    EXPECT_EQ(open_port(line, download), MODE_DLOAD);
    modem.stop();
}

TEST_F(MockedModem, BringsItsDiskAfterTheFinalReset) {
    testbed::MockedUsbDeviceOptions usb_options;
    usb_options.disk_after_reset = true;
    testbed::MockedUsbDevice usb(usb_options);
    emu::Endpoint endpoint = usb.attach(emu::Mode::Diag, true);
    folder_.write_settings("mmc0=USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE\n");
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 1);
    usb.detach(endpoint);
    EXPECT_EQ(find_mmc_disk(folder_.settings()), 0);
}

// A modem on a bench as the device database shows it: where it is plugged in, its serial number
// and the USB identity of its present mode.
struct Seen {
    std::string location;
    std::string serial;
    std::string product_id;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& seen) {
    return os << seen.location << " '" << seen.serial << "' " << seen.product_id;
}

std::vector<Seen> seen_on_the_bus() {
    std::vector<Seen> seen;
    for (const UsbPortRecord& port : enumerate_usb_ports().value_or(std::vector<UsbPortRecord>{}))
        seen.push_back({port.device_location, port.serial, port.product_id});
    std::sort(seen.begin(), seen.end(),
              [](const Seen& a, const Seen& b) { return a.location < b.location; });
    return seen;
}

// Several modems on one bench: each is told apart by where it is plugged in, and keeps that place
// when it re-enumerates under another identity; a modem pulled out leaves the others be.
TEST_F(MockedModem, ModemsOnOneBenchKeepTheirHubPortsAndSerialsAcrossTheirSwitches) {
    const std::vector<Seen> rows = {
        {"1-1.1", "EMU-0001", "9003"}, {"1-1.2", "EMU-0002", "9003"}, {"1-2", "", "9003"}};
    testbed::ModemBench bench;
    for (const Seen& row : rows) {
        testbed::MockedUsbDeviceOptions usb;
        usb.hub_port = row.location;
        usb.serial = row.serial;
        ASSERT_TRUE(bench.plug({}, usb)) << bench.error();
        ASSERT_TRUE(bench.modem(bench.size() - 1).wait_for(emu::Mode::Diag, 10s));
    }
    std::vector<Seen> expected = rows;
    EXPECT_EQ(seen_on_the_bus(), expected);

    for (std::size_t k = 0; k < rows.size(); ++k) {
        int diag = port_table_register(bench.usb(k).current_node());
        ASSERT_EQ(open_port(line, diag), MODE_DIAG);
        EXPECT_EQ(switch_dl_mode(line), 1);
        close_port(line);
        ASSERT_TRUE(bench.modem(k).wait_for(emu::Mode::Dload, 10s));
        expected[k].product_id = "9100";
        EXPECT_EQ(seen_on_the_bus(), expected) << "after modem " << k << "'s switch";
    }

    bench.unplug(1);
    EXPECT_NE(open_port(line, port_table_register(bench.usb(1).current_node())), MODE_DLOAD);
    close_port(line);
    ASSERT_TRUE(bench.modem(1).wait_unplugged(10s));
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(seen_on_the_bus(), expected);
}

}  // namespace
