// What the EFS2 tests share: temporary folders, the download log read back, the program-wide
// serial port, and a scripted device for answers the emulator never gives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace efs_test {

std::vector<std::uint8_t> pattern_bytes(std::size_t size, unsigned seed);
void write_file(const std::string& path, const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> read_file(const std::string& path);

// Creates the program-wide serial port when missing and opens the device node through the port
// table; the port number, or -1.
int open_node(const std::string& device_node);

// The emulated modem in DIAG mode, with the program-wide serial port open on it and port_number
// pointing at it. The transcript goes to a file of its own.
class EmulatedModem {
  public:
    explicit EmulatedModem(emu::Options options = {});
    ~EmulatedModem();
    emu::Emulator& device() { return *emulator_; }
    emu::Emulator* operator->() { return emulator_.get(); }
    int port() const { return port_; }
    std::string transcript() const;
    // EFS2 requests of this file-system code seen so far (-1: all of them).
    int efs_requests(int code = -1) const;

  private:
    TempDir dir_;
    std::unique_ptr<emu::Emulator> emulator_;
    int port_ = -1;
};

// A device on a pseudo-terminal that answers every decoded request packet with what the handler
// returns (nothing: no answer at all).
class ScriptedDevice {
  public:
    using Handler = std::function<std::optional<std::vector<std::uint8_t>>(
        const std::vector<std::uint8_t>& request)>;
    explicit ScriptedDevice(Handler handler);
    ~ScriptedDevice();
    const std::string& node() const { return node_; }
    int requests() const { return requests_; }

  private:
    void run();

    Handler handler_;
    int master_ = -1;
    std::string node_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace efs_test
