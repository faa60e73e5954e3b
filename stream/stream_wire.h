// The flash programmer's streaming protocol as the host speaks it: command codes, the codes of
// their answers and the sizes of its requests. Every request is framed with a leading flag.
#pragma once

#include <cstdint>

// Requests and their answers.
constexpr std::uint8_t kStreamHello = 0x01;
constexpr std::uint8_t kStreamHelloAnswer = 0x02;
constexpr std::uint8_t kStreamWrite = 0x07;
constexpr std::uint8_t kStreamWriteAnswer = 0x08;
constexpr std::uint8_t kStreamReset = 0x0B;
constexpr std::uint8_t kStreamResetAnswer = 0x0C;
constexpr std::uint8_t kStreamClose = 0x15;
constexpr std::uint8_t kStreamCloseAnswer = 0x16;
constexpr std::uint8_t kStreamSecurity = 0x17;
constexpr std::uint8_t kStreamSecurityAnswer = 0x18;
constexpr std::uint8_t kStreamPartitionTable = 0x19;
constexpr std::uint8_t kStreamPartitionTableAnswer = 0x1A;
constexpr std::uint8_t kStreamOpenImage = 0x1B;
constexpr std::uint8_t kStreamOpenImageAnswer = 0x1C;
// The programmer's error report, in place of the expected answer (its log message, 0x0E, is in
// stream/log_message.h).
constexpr std::uint8_t kStreamError = 0x0D;

// Requests that carry a file's first bytes are built in a buffer of this size; the payload after
// the command byte and its parameter byte is at most kStreamPayloadLimit bytes.
constexpr int kStreamRequestSize = 1024;
constexpr int kStreamPayloadLimit = 512;

// Images go in blocks of this size, each after a 5-byte header: the write code and the block's
// offset in the image (32 bits, low byte first).
constexpr int kStreamBlockSize = 512;
constexpr int kStreamWriteHeader = 5;
