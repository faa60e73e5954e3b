// Device-change events for USB serial ports and USB disks, from a watched descriptor and from a
// thread of their own.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "discovery/device_enum.h"
#include "discovery/device_events.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/testbed.h"

namespace {

using testbed::FakeDevice;
using testbed::Testbed;

constexpr auto kBound = std::chrono::seconds(10);

// Reads a monitor's descriptor as a GUI loop would, until count events came or time ran out.
std::vector<int> wait_for_events(DeviceMonitor& monitor, std::size_t count) {
    std::vector<int> events;
    auto deadline = std::chrono::steady_clock::now() + kBound;
    while (events.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{monitor.fd(), POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0) continue;
        for (int e : monitor.read_events())
            events.push_back(e);
    }
    return events;
}

class EventRecorder {
  public:
    void operator()(int event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    std::vector<int> wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kBound, [&] { return events_.size() >= count; });
        return events_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> events_;
};

TEST(DeviceMonitor, WatchedDescriptorReportsTheDeviceLeavingAndComingBack) {
    testbed::MockedUsbDevice device;
    emu::Endpoint endpoint = device.attach(emu::Mode::Diag, false);
    std::unique_ptr<DeviceMonitor> monitor = DeviceMonitor::create();
    ASSERT_TRUE(monitor);

    device.detach(endpoint);
    EXPECT_EQ(wait_for_events(*monitor, 1), std::vector<int>{DBT_DEVICEREMOVECOMPLETE});
    device.attach(emu::Mode::Dload, false);
    // Nothing else may have come between: the arrival is the very next event.
    EXPECT_EQ(wait_for_events(*monitor, 1), std::vector<int>{DBT_DEVICEARRIVAL});
}

TEST(DeviceMonitor, EventThreadReportsOneRemovalAndOneArrival) {
    testbed::MockedUsbDevice device;
    emu::Endpoint endpoint = device.attach(emu::Mode::Diag, false);
    EventRecorder recorder;
    {
        DeviceEventThread thread([&](int event) { recorder(event); });
        device.detach(endpoint);
        ASSERT_EQ(recorder.wait_for(1).size(), 1u);
        device.attach(emu::Mode::Dload, false);
        ASSERT_EQ(recorder.wait_for(2).size(), 2u);
        // A last arrival marks the end: any extra event of the first two changes would come
        // before it.
        FakeDevice marker = Testbed::instance().add_disk({});
        EXPECT_EQ(recorder.wait_for(3), (std::vector<int>{DBT_DEVICEREMOVECOMPLETE,
                                                          DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL}));
        Testbed::instance().remove(marker);
    }
}

// As on a real system, whoever looks for the device's ports on hearing of its removal no longer
// finds the one that left (the program's wait for the device's return decides on that look).
TEST(DeviceMonitor, PortThatLeftIsNoLongerListedWhenItsRemovalIsHeard) {
    testbed::MockedUsbDevice device;
    emu::Endpoint endpoint = device.attach(emu::Mode::Diag, false);
    const std::string node = device.current_node();
    ASSERT_FALSE(node.empty());
    std::atomic<int> listed_at_removal{-1};
    EventRecorder recorder;
    {
        DeviceEventThread thread([&](int event) {
            if (event == DBT_DEVICEREMOVECOMPLETE && listed_at_removal < 0) {
                std::optional<std::vector<UsbPortRecord>> ports = enumerate_usb_ports();
                listed_at_removal = ports && std::any_of(ports->begin(), ports->end(),
                                                         [&](const UsbPortRecord& port) {
                                                             return port.device_node == node;
                                                         });
            }
            recorder(event);
        });
        device.detach(endpoint);
        ASSERT_EQ(recorder.wait_for(1).size(), 1u);
    }
    EXPECT_EQ(listed_at_removal, 0);
}

TEST(DeviceMonitor, IgnoresDevicesThatAreNotUsbPortsOrDisks) {
    std::unique_ptr<DeviceMonitor> monitor = DeviceMonitor::create();
    ASSERT_TRUE(monitor);
    FakeDevice uart = Testbed::instance().add_plain_port();
    FakeDevice sata = Testbed::instance().add_plain_disk();
    Testbed::instance().remove(uart);
    Testbed::instance().remove(sata);
    FakeDevice disk = Testbed::instance().add_disk({});
    EXPECT_EQ(wait_for_events(*monitor, 1), std::vector<int>{DBT_DEVICEARRIVAL});
    Testbed::instance().remove(disk);
    EXPECT_EQ(wait_for_events(*monitor, 1), std::vector<int>{DBT_DEVICEREMOVECOMPLETE});
}

TEST(DeviceMonitor, DiskAfterTheFinalResetArrivesWithThePort) {
    testbed::MockedUsbDeviceOptions options;
    options.disk_after_reset = true;
    testbed::MockedUsbDevice device(options);
    std::unique_ptr<DeviceMonitor> monitor = DeviceMonitor::create();
    ASSERT_TRUE(monitor);
    emu::Endpoint endpoint = device.attach(emu::Mode::Diag, true);
    EXPECT_EQ(wait_for_events(*monitor, 2),
              (std::vector<int>{DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL}));
    device.detach(endpoint);
    EXPECT_EQ(wait_for_events(*monitor, 2),
              (std::vector<int>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEREMOVECOMPLETE}));
}

}  // namespace
