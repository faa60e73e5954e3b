#include "testbed/mocked_usb_device.h"

namespace testbed {

namespace {

void remove_all(const std::vector<FakeDevice>& devices) {
    for (const FakeDevice& device : devices)
        Testbed::instance().remove(device);
}

}  // namespace

MockedUsbDevice::MockedUsbDevice(MockedUsbDeviceOptions options) : options_(std::move(options)) {
    if (options_.hub_port.empty()) options_.hub_port = Testbed::instance().new_hub_port();
}

MockedUsbDevice::~MockedUsbDevice() {
    std::lock_guard lock(mutex_);
    for (const Attached& a : attached_) {
        Testbed::instance().remove(a.port);
        remove_all(a.extras);
    }
}

emu::Endpoint MockedUsbDevice::attach(emu::Mode mode, bool after_reset) {
    const UsbIdentity& id = mode == emu::Mode::Diag    ? options_.diag
                            : mode == emu::Mode::Dload ? options_.dload
                                                       : options_.stream;
    UsbPortSpec config;
    config.vendor_id = id.vendor_id;
    config.product_id = id.product_id;
    config.interface_number = id.interface_number;
    config.num_interfaces = id.num_interfaces;
    config.product = id.product;
    config.serial = options_.serial;
    config.hub_port = options_.hub_port;
    Attached attached;
    // The disk first: a program that hears the port's arrival may look for the disk at once. The
    // USB device comes before both and goes after them.
    if (after_reset && options_.disk_after_reset) {
        FakeDevice usb = Testbed::instance().add_usb_device(config);
        UsbDiskSpec disk = options_.disk;
        disk.usb_device = config.usb_device = usb.syspaths.back();
        disk.interface_number = id.interface_number + 1;
        attached.extras.push_back(Testbed::instance().add_disk(disk));
        attached.extras.push_back(std::move(usb));
    }
    attached.port = Testbed::instance().add_port(config);
    emu::Endpoint endpoint{attached.port.master_fd, attached.port.device_node};
    std::lock_guard lock(mutex_);
    attached_.push_back(std::move(attached));
    return endpoint;
}

void MockedUsbDevice::detach(const emu::Endpoint& endpoint) {
    Attached gone;
    {
        std::lock_guard lock(mutex_);
        auto it = attached_.begin();
        while (it != attached_.end() && it->port.device_node != endpoint.device_node)
            ++it;
        if (it == attached_.end()) return;
        gone = std::move(*it);
        attached_.erase(it);
    }
    Testbed::instance().remove(gone.port);
    remove_all(gone.extras);
}

void MockedUsbDevice::hang_up(const emu::Endpoint& endpoint) {
    std::lock_guard lock(mutex_);
    for (const Attached& a : attached_) {
        if (a.port.device_node == endpoint.device_node) Testbed::instance().hang_up(a.port);
    }
}

std::string MockedUsbDevice::current_node() const {
    std::lock_guard lock(mutex_);
    return attached_.empty() ? "" : attached_.back().port.device_node;
}

int MockedUsbDevice::unread(const emu::Endpoint& endpoint) const {
    return Testbed::instance().unread(endpoint.device_node);
}

}  // namespace testbed
