// One line per request, answer and event, for tests and users to read what crossed the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/port_provider.h"

namespace emu {

class Transcript {
  public:
    bool open(const std::string& path);
    // The packets are decoded: escapes undone, without flags and CRC.
    void request(Mode mode, const std::vector<std::uint8_t>& packet);
    void answer(Mode mode, const std::vector<std::uint8_t>& packet, const std::string& note);
    void event(Mode mode, const std::string& text);

  private:
    void line(Mode mode, char direction, const std::string& text);

    std::mutex mutex_;
    std::ofstream out_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// A short name for a request or answer ("efs open", "stream write", ...).
std::string packet_name(Mode mode, bool request, const std::vector<std::uint8_t>& packet);

}  // namespace emu
