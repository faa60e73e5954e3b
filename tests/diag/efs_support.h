// What the EFS2 tests against the emulated modem share: temporary folders, the download log read
// back, the program-wide serial port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

}  // namespace efs_test
