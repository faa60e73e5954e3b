// What every protocol operation shares: the attempt loop, locating an answer after an optional
// leading flag, and reading and writing multi-byte fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/clock.h"
#include "base/reasons.h"
#include "link/device_line.h"
#include "link/hdlc.h"

// Answers are read into a buffer of this size: room for the longest any mode of the device sends.
constexpr int kReceiveBuffer = 20000;

// Every protocol operation makes up to this many attempts of its request.
constexpr int kAttempts = 10;

// How one attempt ended: failure 0 is success; any other value is a failure kind of the
// operation's own. A failure is tried again while attempts are left, unless the attempt returned
// it through stop_now: one that another attempt cannot mend (a local file that cannot be read, an
// answer that ends the operation) ends the loop at once.
struct AttemptOutcome {
    // Implicit: an attempt that returns a plain failure kind, or 0, may be tried again.
    constexpr AttemptOutcome(int failure_kind) : failure(failure_kind) {}
    int failure;
    bool stops = false;
};

// Ends the attempts at once with failure (never 0) as the loop's result.
constexpr AttemptOutcome stop_now(int failure) {
    AttemptOutcome outcome(failure);
    outcome.stops = true;
    return outcome;
}

// How long on the line's clock since its silence began; 0 while the device answers.
inline std::chrono::milliseconds silent_for(DeviceLine& line) {
    if (!line.records.silent_since) return std::chrono::milliseconds(0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(line.clock().now() -
                                                                 *line.records.silent_since);
}

// The attempts still to come after the current loop's within one step the user waits on as a
// whole (the mode probe asks its protocols one after the other): the silence notice counts them
// with the loop's own, so that it tells the attempts that really remain. While it exists,
// loops_after loops of kAttempts follow the current one on the line.
class AttemptsAfter {
  public:
    AttemptsAfter(DeviceLine& line, int loops_after)
        : line_(line), saved_(line.records.attempts_after) {
        line.records.attempts_after = saved_ + loops_after * kAttempts;
    }
    ~AttemptsAfter() { line_.records.attempts_after = saved_; }
    AttemptsAfter(const AttemptsAfter&) = delete;
    AttemptsAfter& operator=(const AttemptsAfter&) = delete;

  private:
    DeviceLine& line_;
    int saved_;
};

// Runs attempt() up to kAttempts times on line, one right after the other, until one succeeds or
// stops the loop. attempt returns an AttemptOutcome (or a plain failure kind); the result is 0 or
// the kind of the last failure, which the operation logs once. A failed attempt that the device did
// not answer at all, with attempts left (attempts_after included), is handed to tell_no_answer: the
// loop of the request that went unanswered tells, and a loop around it, whose attempt failed with
// it, does not again.
template <class Attempt>
int run_attempts(DeviceLine& line, Attempt&& attempt) {
    int failure = 0;
    for (int left = kAttempts; left > 0; --left) {
        line.records.unanswered = false;
        const AttemptOutcome outcome = attempt();
        failure = outcome.failure;
        if (failure == 0 || outcome.stops) break;
        const int remaining = left - 1 + line.records.attempts_after;
        if (line.records.unanswered && remaining > 0)
            tell_no_answer(line.clock(), remaining, silent_for(line));
        line.records.unanswered = false;
    }
    return failure;
}

// DLOAD and streaming answers may open with a flag byte: the answer starts after it.
inline const std::uint8_t* locate_answer(const std::uint8_t* received) {
    return received[0] == kFrameFlag ? received + 1 : received;
}
inline std::uint8_t* locate_answer(std::uint8_t* received) {
    return received[0] == kFrameFlag ? received + 1 : received;
}

inline std::uint16_t get_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void put_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t get_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline void put_be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void put_be32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
