// Several emulated modems on the mocked USB bus at once, as on a repair desk: each at a hub port of
// its own with its own options (mode, faults, version, serial), each re-enumerating there.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/mocked_usb_device.h"

namespace testbed {

class ModemBench {
  public:
    ModemBench() = default;
    // Stops every modem and takes them off the bus.
    ~ModemBench();
    ModemBench(const ModemBench&) = delete;
    ModemBench& operator=(const ModemBench&) = delete;

    // Plugs a modem in and starts it (options.provider is the bench's); on_change, when given,
    // hears its arrivals and departures. Nothing (and error() says why) when it did not start;
    // it is then not on the bench.
    emu::Emulator* plug(emu::Options options, MockedUsbDeviceOptions usb = {},
                        std::function<void(const emu::Change&)> on_change = {});
    // Modem k (from 0, in plugging order).
    emu::Emulator& modem(std::size_t k) { return *modems_.at(k); }
    MockedUsbDevice& usb(std::size_t k) { return *devices_.at(k); }
    std::size_t size() const { return modems_.size(); }
    const std::string& error() const { return error_; }

    // Pulls modem k out at its next request, in whatever mode: its line hangs up and it leaves
    // the bus, the others carry on. It stays away until replug(k), which also drops the faults
    // it was plugged with.
    void unplug(std::size_t k);
    void replug(std::size_t k);
    void stop();

  private:
    std::vector<std::unique_ptr<MockedUsbDevice>> devices_;
    std::vector<std::unique_ptr<emu::Emulator>> modems_;
    std::string error_;
};

}  // namespace testbed
