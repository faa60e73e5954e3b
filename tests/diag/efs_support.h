// What the EFS2 tests against the emulated modem share: temporary folders, the download log read
// back, an emulated modem with a device line of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "link/device_line.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace efs_test {

std::vector<std::uint8_t> pattern_bytes(std::size_t size, unsigned seed);
void write_file(const std::string& path, const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> read_file(const std::string& path);

// Opens the line's port on the device node through the port table; the port number, or -1.
int open_node(DeviceLine& line, const std::string& device_node);

// The emulated modem in DIAG mode, with its line's port open on it (the port the line reopens).
// The transcript goes to a file of its own.
class EmulatedModem {
  public:
    explicit EmulatedModem(emu::Options options = {});
    ~EmulatedModem();
    emu::Emulator& device() { return *emulator_; }
    emu::Emulator* operator->() { return emulator_.get(); }
    int port() const { return port_; }
    DeviceLine& line() { return line_; }
    std::string transcript() const;
    // EFS2 requests of this file-system code seen so far (-1: all of them).
    int efs_requests(int code = -1) const;

  private:
    TempDir dir_;
    DeviceLine line_;
    std::unique_ptr<emu::Emulator> emulator_;
    int port_ = -1;
};

}  // namespace efs_test
