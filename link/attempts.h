// What every protocol operation shares: the attempt loop, locating an answer after an optional
// leading flag, and reading and writing multi-byte fields.
#pragma once

#include <cstdint>

constexpr int kAttempts = 10;

// Runs attempt() up to ten times, one right after the other. attempt returns 0 on success or a
// failure kind of the operation's own; the result is 0 or the kind of the last failure, which the
// operation logs once.
template <class Attempt>
int run_attempts(Attempt&& attempt) {
    int failure = 0;
    for (int left = kAttempts; left > 0; --left) {
        failure = attempt();
        if (failure == 0) return 0;
    }
    return failure;
}

// DLOAD and streaming answers may open with a flag byte: the answer starts after it.
inline const std::uint8_t* locate_answer(const std::uint8_t* received) {
    return received[0] == 0x7E ? received + 1 : received;
}
inline std::uint8_t* locate_answer(std::uint8_t* received) {
    return received[0] == 0x7E ? received + 1 : received;
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
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
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
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
