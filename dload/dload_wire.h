// The boot downloader's protocol as the host speaks it: command codes and the codes of its
// answers. Every request is framed with a leading flag; multi-byte fields go high byte first.
#pragma once

#include <cstdint>

// Answers.
constexpr std::uint8_t kDloadAck = 0x02;
constexpr std::uint8_t kDloadNak = 0x03;

// Requests.
constexpr std::uint8_t kDloadGo = 0x05;
constexpr std::uint8_t kDloadNop = 0x06;
constexpr std::uint8_t kDloadParameters = 0x07;
constexpr std::uint8_t kDloadUnlock = 0x0B;
constexpr std::uint8_t kDloadWrite = 0x0F;

// WRITE: the code, 32-bit address and 16-bit length, then the data. GO: the code, then the
// 32-bit start address.
constexpr int kDloadWriteHeader = 7;
constexpr int kDloadGoLength = 5;
