#include "testbed/mocked_usb_device.h"

namespace testbed {

MockedUsbDevice::MockedUsbDevice(MockedUsbDeviceOptions options) : options_(std::move(options)) {}

MockedUsbDevice::~MockedUsbDevice() {
    std::lock_guard lock(mutex_);
    for (const Attached& a : attached_) {
        Testbed::instance().remove(a.port);
        for (const FakeDevice& extra : a.extras)
            Testbed::instance().remove(extra);
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
    Attached attached;
    // The disk first: a program that hears the port's arrival may look for the disk at once.
    if (after_reset && options_.disk_after_reset)
        attached.extras.push_back(Testbed::instance().add_disk(options_.disk));
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
    for (const FakeDevice& extra : gone.extras)
        Testbed::instance().remove(extra);
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
