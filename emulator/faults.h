// Which configured faults hit a request.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "emulator/emulator.h"

namespace emu {

class FaultSet {
  public:
    explicit FaultSet(std::uint32_t seed) : random_(seed) {}
    void add(const Fault& fault) { entries_.push_back({fault, 0}); }
    void clear() { entries_.clear(); }
    // Counts the request against every fault it matches and returns the faults that hit it, in
    // the order they were added.
    std::vector<Fault> hits(Mode mode, const std::vector<std::uint8_t>& request);

  private:
    struct Entry {
        Fault fault;
        int seen;
    };
    std::vector<Entry> entries_;
    std::mt19937 random_;
};

// Default durations of the timing faults, in product milliseconds.
constexpr int kDefaultDelayMs = 1000;  // twice the tool's read time-out
constexpr int kDefaultSplitMs = 100;
constexpr int kDefaultLogGapMs = 50;
constexpr int kDefaultEfsError = 5;  // EIO

}  // namespace emu
