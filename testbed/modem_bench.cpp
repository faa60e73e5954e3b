#include "testbed/modem_bench.h"

namespace testbed {

namespace {

// A hang-up that keeps the modem away, at its next request in each mode.
constexpr const char* kPullOut[] = {"hangup:diag:any:stay", "hangup:dload:any:stay",
                                    "hangup:stream:any:stay"};

}  // namespace

ModemBench::~ModemBench() {
    stop();
    // The modems go before the USB devices they are plugged in through.
    modems_.clear();
    devices_.clear();
}

emu::Emulator* ModemBench::plug(emu::Options options, MockedUsbDeviceOptions usb,
                                std::function<void(const emu::Change&)> on_change) {
    auto device = std::make_unique<MockedUsbDevice>(std::move(usb));
    options.provider = device.get();
    auto modem = std::make_unique<emu::Emulator>(std::move(options));
    if (on_change) modem->on_change(std::move(on_change));
    if (!modem->start()) {
        error_ = modem->error();
        return nullptr;
    }
    devices_.push_back(std::move(device));
    modems_.push_back(std::move(modem));
    return modems_.back().get();
}

void ModemBench::unplug(std::size_t k) {
    for (const char* fault : kPullOut)
        modem(k).add_fault(*emu::Fault::parse(fault));
}

void ModemBench::replug(std::size_t k) {
    modem(k).clear_faults();
    modem(k).replug();
}

void ModemBench::stop() {
    for (auto& modem : modems_)
        modem->stop();
}

}  // namespace testbed
