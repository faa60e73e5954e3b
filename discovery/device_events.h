// Arrival and removal of USB serial ports and USB disks, as device-change events.
#pragma once

#include <functional>
#include <memory>
#include <vector>

constexpr int DBT_DEVICEARRIVAL = 0x8000;
constexpr int DBT_DEVICEREMOVECOMPLETE = 0x8004;

class DeviceMonitor {
public:
    virtual ~DeviceMonitor() = default;
    // A descriptor that becomes readable when events wait (for a GUI event loop).
    virtual int fd() const = 0;
    // The events waiting now, without blocking: DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE each.
    // Devices that are not USB serial ports or USB disks are left out.
    virtual std::vector<int> read_events() = 0;

    // nullptr when the platform's monitor cannot be created.
    static std::unique_ptr<DeviceMonitor> create();
};

// A monitor on a thread of its own that calls handler for each event until it is destroyed
// (windowless runs).
class DeviceEventThread {
public:
    explicit DeviceEventThread(std::function<void(int event)> handler);
    ~DeviceEventThread();
    DeviceEventThread(const DeviceEventThread&) = delete;
    DeviceEventThread& operator=(const DeviceEventThread&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};
