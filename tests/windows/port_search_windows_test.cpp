// The searches on Windows: ports and disk drives added to the device list of a wine prefix (which
// has none of its own), found by their instance identifiers, and device changes heard by the
// hidden window of a run without a window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "discovery/device_events.h"
#include "discovery/disk_discovery.h"
#include "discovery/port_discovery.h"
#include "tests/support/temp_dir.h"
#include "tests/windows/fake_bus.h"

namespace {

constexpr const char* kDiag = "USB\\VID_05C6&PID_9003&MI_00";
constexpr const char* kDownload = "USB\\VID_05C6&PID_9100";
constexpr const char* kDisk = "USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE";

// Each test starts and ends with no port and no disk on the bus.
class WindowsSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        clear_bus();
        set_program_folder_override(folder_.path());
        folder_.write("settings.ini", std::string("[id]\r\nidnum=1\r\ndiag0=") + kDiag +
                                          "\r\ndownload0=" + kDownload + "\r\nsavedownload0=" +
                                          kDownload + "\r\nmmc0=" + kDisk + "\r\n");
    }
    void TearDown() override {
        clear_bus();
        set_program_folder_override("");
    }
    static void clear_bus() {
        remove_fake_devices("PORTS", "*");
        remove_fake_devices("DiskDrive", "*");
    }

    // The settings.ini the searches are handed: the one in the program folder.
    static std::string settings() { return settings_path(own_program_folder()); }

    TempDir folder_;
};

TEST_F(WindowsSearch, PortIsFoundByItsIdentifierAndOpenedByTheNumberInItsName) {
    ASSERT_TRUE(add_fake_device("PORTS", "ACPI\\PNP0501\\1", "Communications Port (COM1)"));
    ASSERT_TRUE(add_fake_device("PORTS", std::string(kDiag) + "\\6&2A3B&0&0000",
                                "USB Modem Diagnostics (COM12)"));
    PortSearch search;
    search.settings = settings();
    EXPECT_EQ(find_port(PORT_DIAG, search).value_or(FoundPort{}).number, 12);
    EXPECT_FALSE(find_port(PORT_DOWNLOAD, search));

    ASSERT_TRUE(add_fake_device("PORTS", std::string(kDownload) + "\\EMU0001",
                                "USB Modem Download (COM7)"));
    EXPECT_EQ(find_port(PORT_DOWNLOAD, search).value_or(FoundPort{}).number, 7);
    EXPECT_EQ(find_any_port(search).value_or(FoundPort{}).number, 12);
}

// (The device list keeps instance identifiers in upper case, so the case of a prefix matters only
// for what settings.ini says; that is tested where the identifiers are built.)
// Two modems, one in each mode: two entries, each at a place of its own, the serial where the
// device's identifier carries one.
TEST_F(WindowsSearch, ModemsAreListedOnePerPlace) {
    ASSERT_TRUE(add_fake_device("PORTS", std::string(kDiag) + "\\6&2A3B&0&0000",
                                "USB Modem Diagnostics (COM12)"));
    ASSERT_TRUE(add_fake_device("PORTS", std::string(kDownload) + "\\EMU0001",
                                "USB Modem Download (COM7)"));
    std::vector<PackageModem> modems =
        list_package_modems(settings()).value_or(std::vector<PackageModem>{});
    ASSERT_EQ(modems.size(), 2u);
    EXPECT_FALSE(modems[0].location.empty());
    EXPECT_NE(modems[0].location, modems[1].location);
    const PackageModem& download = modems[0].serial.empty() ? modems[1] : modems[0];
    EXPECT_EQ(download.serial, "EMU0001");
    ASSERT_EQ(download.ports.size(), 1u);
    EXPECT_EQ(download.ports[0].number, 7);
}

TEST_F(WindowsSearch, MatchingPortWithoutANumberInItsNameIsNoMatch) {
    ASSERT_TRUE(add_fake_device("PORTS", std::string(kDiag) + "\\6&2&0&0000", "USB Modem"));
    PortSearch search;
    search.settings = settings();
    EXPECT_FALSE(find_port(PORT_DIAG, search));
}

TEST_F(WindowsSearch, DiskIsFoundByItsPrefix) {
    EXPECT_EQ(find_mmc_disk(settings()), 0);
    ASSERT_TRUE(add_fake_device("DiskDrive", std::string(kDisk) + "&REV_1.00\\0123456789&0",
                                "Vendor MMC Storage USB Device"));
    EXPECT_EQ(find_mmc_disk(settings()), 1);
}

TEST_F(WindowsSearch, RunWithoutAWindowHearsDevicesComeAndGo) {
    std::vector<int> heard;
    std::atomic<int> count{0};
    {
        DeviceEventThread events([&](int event) {
            heard.push_back(event);
            ++count;
        });
        broadcast_device_change(true);
        broadcast_device_change(false);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count < 2 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(heard, (std::vector<int>{DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}));
}

}  // namespace
