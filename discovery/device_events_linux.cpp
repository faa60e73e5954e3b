// Device-change events from udev's monitor. Only add and remove matter; a removed device is gone
// from sysfs by the time its event is read, so the monitor remembers which of the devices it has
// seen were USB serial ports or USB disks.
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "discovery/device_events.h"

namespace {

bool is_usb_serial_port(udev_device* device) {
    const char* subsystem = udev_device_get_subsystem(device);
    return subsystem && std::strcmp(subsystem, "tty") == 0 &&
           udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
}

bool is_usb_disk(udev_device* device) {
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devtype = udev_device_get_devtype(device);
    return subsystem && devtype && std::strcmp(subsystem, "block") == 0 &&
           std::strcmp(devtype, "disk") == 0 &&
           udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
}

bool is_wanted(udev_device* device) {
    return is_usb_serial_port(device) || is_usb_disk(device);
}

// A removal event of a real system names the bus in the properties the udev daemon attached.
bool says_usb(udev_device* device) {
    const char* bus = udev_device_get_property_value(device, "ID_BUS");
    return bus && std::strcmp(bus, "usb") == 0;
}

class UdevMonitor : public DeviceMonitor {
  public:
    ~UdevMonitor() override {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
    }

    bool start() {
        udev_ = udev_new();
        if (!udev_) return false;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (!monitor_) return false;
        if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk") < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0)
            return false;
        int fd = udev_monitor_get_fd(monitor_);
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
        remember_present("tty");
        remember_present("block");
        return true;
    }

    int fd() const override { return udev_monitor_get_fd(monitor_); }

    std::vector<int> read_events() override {
        std::vector<int> events;
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(device);
            std::string syspath = udev_device_get_syspath(device);
            if (action && std::strcmp(action, "add") == 0) {
                if (is_wanted(device)) {
                    known_.insert(syspath);
                    events.push_back(DBT_DEVICEARRIVAL);
                }
            } else if (action && std::strcmp(action, "remove") == 0) {
                if (known_.erase(syspath) > 0 || says_usb(device) || is_wanted(device))
                    events.push_back(DBT_DEVICEREMOVECOMPLETE);
            }
            udev_device_unref(device);
        }
        return events;
    }

  private:
    void remember_present(const char* subsystem) {
        udev_enumerate* enumerate = udev_enumerate_new(udev_);
        if (!enumerate) return;
        udev_enumerate_add_match_subsystem(enumerate, subsystem);
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            const char* path = udev_list_entry_get_name(entry);
            udev_device* device = udev_device_new_from_syspath(udev_, path);
            if (!device) continue;
            if (is_wanted(device)) known_.insert(path);
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
    }

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::set<std::string> known_;
};

}  // namespace

std::unique_ptr<DeviceMonitor> DeviceMonitor::create() {
    auto monitor = std::make_unique<UdevMonitor>();
    if (!monitor->start()) return nullptr;
    return monitor;
}

struct DeviceEventThread::State {
    std::function<void(int)> handler;
    std::unique_ptr<DeviceMonitor> monitor;
    int stop_fd = -1;
    std::thread thread;

    void run() {
        pollfd fds[2] = {{monitor->fd(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (fds[0].revents & (POLLERR | POLLNVAL)) return;
            for (int event : monitor->read_events())
                handler(event);
        }
    }
};

DeviceEventThread::DeviceEventThread(std::function<void(int event)> handler)
    : state_(std::make_unique<State>()) {
    state_->handler = std::move(handler);
    // The monitor listens from here on, so no event after the constructor returns is missed.
    state_->monitor = DeviceMonitor::create();
    state_->stop_fd = eventfd(0, EFD_CLOEXEC);
    if (state_->monitor && state_->stop_fd >= 0)
        state_->thread = std::thread([s = state_.get()] { s->run(); });
}

DeviceEventThread::~DeviceEventThread() {
    if (state_->thread.joinable()) {
        std::uint64_t one = 1;
        ssize_t written = write(state_->stop_fd, &one, sizeof one);
        (void)written;
        state_->thread.join();
    }
    if (state_->stop_fd >= 0) close(state_->stop_fd);
}
