// The device-return state machine fed with device-change events, against ports and disks on the
// mocked USB bus, in this process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/device_return.h"
#include "app/session.h"
#include "app/upgrade.h"
#include "base/log.h"
#include "base/settings.h"
#include "discovery/device_events.h"
#include "testbed/testbed.h"

namespace apptest {
namespace {

constexpr const char* kSettings =
    "[id]\n"
    "idnum=1\n"
    "diag0=USB\\VID_05C6&PID_9003&MI_00\n"
    "download0=USB\\VID_05C6&PID_9100\n"
    "savedownload0=USB\\VID_05C6&PID_9100\n"
    "mmc0=USBSTOR\\DISK&VEN_VENDOR\n";

class DeviceReturn : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            std::filesystem::temp_directory_path() / ("fwup-return-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "settings.ini") << kSettings;
        setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
        set_program_folder_override(folder_.string() + "/");
        init_globals(session_);
        searches();  // the log's first block
    }
    void TearDown() override {
        for (const testbed::FakeDevice& device : added_)
            bus().remove(device);
        app_cleanup(session_);
        set_program_folder_override("");
        std::filesystem::remove_all(folder_);
    }

    // What the handling logged since the last call.
    std::string searches() {
        log_close();
        std::ifstream in(folder_ / "download.dbg");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        log_open();
        return text;
    }

    testbed::Testbed& bus() { return testbed::Testbed::instance(); }
    testbed::FakeDevice add_port(const testbed::UsbPortSpec& config) {
        added_.push_back(bus().add_port(config));
        return added_.back();
    }
    void add_disk() { added_.push_back(bus().add_disk({})); }

    Session session_;
    std::filesystem::path folder_;
    std::vector<testbed::FakeDevice> added_;
};

TEST_F(DeviceReturn, RemovalOutsideTheWaitChangesNothingAndSearchesNothing) {
    for (int state : {DEVICE_IDLE, DEVICE_BACK_DISK, DEVICE_BACK_PORT}) {
        set_device_state(session_, state);
        on_device_change(session_, DBT_DEVICEREMOVECOMPLETE);
        on_device_change(session_, DBT_DEVICEARRIVAL);
        EXPECT_EQ(device_state(session_), state);
    }
    EXPECT_EQ(searches(), "");
}

TEST_F(DeviceReturn, RemovalWhileAPortOfTheDeviceRemainsKeepsWaitingForTheRemoval) {
    add_port({});
    set_device_state(session_, DEVICE_RESETTING);
    on_device_change(session_, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(device_state(session_), DEVICE_RESETTING);
    // An arrival before the device has gone is not its return.
    on_device_change(session_, DBT_DEVICEARRIVAL);
    EXPECT_EQ(device_state(session_), DEVICE_RESETTING);
}

TEST_F(DeviceReturn, RemovalOfTheLastPortMeansTheDeviceIsGone) {
    testbed::FakeDevice port = bus().add_port({});
    set_device_state(session_, DEVICE_RESETTING);
    bus().remove(port);
    on_device_change(session_, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(device_state(session_), DEVICE_GONE);
}

TEST_F(DeviceReturn, ArrivalOfSomethingElseKeepsWaiting) {
    set_device_state(session_, DEVICE_GONE);
    testbed::UsbPortSpec other;
    other.vendor_id = 0x1234;
    add_port(other);
    on_device_change(session_, DBT_DEVICEARRIVAL);
    EXPECT_EQ(device_state(session_), DEVICE_GONE);
}

TEST_F(DeviceReturn, ArrivalOfTheDiskEndsTheWaitWithoutSearchingPorts) {
    set_device_state(session_, DEVICE_GONE);
    add_disk();
    add_port({});
    searches();
    on_device_change(session_, DBT_DEVICEARRIVAL);
    EXPECT_EQ(device_state(session_), DEVICE_BACK_DISK);
    std::string log = searches();
    EXPECT_NE(log.find("Found match mmc "), std::string::npos) << log;
    EXPECT_EQ(log.find("start find port"), std::string::npos) << log;
    // The state stays once reached.
    on_device_change(session_, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(device_state(session_), DEVICE_BACK_DISK);
}

TEST_F(DeviceReturn, ArrivalOfAPortEndsTheWait) {
    set_device_state(session_, DEVICE_GONE);
    testbed::UsbPortSpec download;
    download.product_id = 0x9100;
    download.num_interfaces = 1;
    add_port(download);
    on_device_change(session_, DBT_DEVICEARRIVAL);
    EXPECT_EQ(device_state(session_), DEVICE_BACK_PORT);
}

TEST_F(DeviceReturn, EventDuringTheResetIsHandledAfterItWithoutWaitingForIt) {
    // The worker holds the state while it sends the final reset; the dialog's thread must not wait
    // for that exchange, and the removal it saw must not be lost.
    std::promise<void> event_fed;
    std::future<void> worker = std::async(std::launch::async, [&] {
        hold_device_return(session_, [&] {
            set_device_state(session_, DEVICE_RESETTING);
            event_fed.get_future().wait_for(std::chrono::seconds(30));
        });
    });
    while (device_state(session_) != DEVICE_RESETTING)
        std::this_thread::yield();
    std::future<void> dialog = std::async(
        std::launch::async, [this] { on_device_change(session_, DBT_DEVICEREMOVECOMPLETE); });
    ASSERT_EQ(dialog.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(device_state(session_), DEVICE_RESETTING);
    event_fed.set_value();
    worker.get();
    EXPECT_EQ(device_state(session_), DEVICE_GONE);
}

TEST_F(DeviceReturn, EachSessionHasItsOwnStateAndEvents) {
    // Another modem's run waits for its device's return while this one is held for its reset: the
    // event reaches the other run at once, and this one's state and queue are left alone. Its
    // searches go to its own log.
    LogSink other_log;
    ASSERT_TRUE(other_log.open_named("download-other.dbg")) << other_log.notice();
    Session other(real_clock(), other_log);
    EXPECT_EQ(&other.log(), &other_log);
    searches();
    set_device_state(other, DEVICE_GONE);
    testbed::UsbPortSpec download;
    download.product_id = 0x9100;
    download.num_interfaces = 1;
    hold_device_return(session_, [&] {
        set_device_state(session_, DEVICE_RESETTING);
        add_port(download);
        on_device_change(other, DBT_DEVICEARRIVAL);
        EXPECT_EQ(device_state(other), DEVICE_BACK_PORT);
    });
    EXPECT_EQ(device_state(session_), DEVICE_RESETTING);
    const std::string other_path = other_log.path();
    other_log.close();
    std::ifstream in(other_path);
    const std::string other_text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(other_text.find("start find port"), std::string::npos) << other_text;
    EXPECT_EQ(searches().find("start find port"), std::string::npos);
}

}  // namespace
}  // namespace apptest
