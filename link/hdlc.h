// HDLC-like framing with the 16-bit frame check sequence of RFC 1662.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/log_sink.h"

// Ends every frame; DLOAD and streaming requests open with it too.
constexpr std::uint8_t kFrameFlag = 0x7E;

// CRC over bits / 8 whole bytes, complemented: the value that goes into the frame.
std::uint16_t crc16_bits(const std::uint8_t* data, int bits);

// 1 when the CRC over count bytes (packet and its CRC together) gives the good residue 0x0F47.
int crc16_check(const std::uint8_t* data, int count);

// Frames a packet: optional leading 0x7E, escaped packet, escaped CRC low then high, closing 0x7E.
std::vector<std::uint8_t> hdlc_encode(const std::uint8_t* packet, int length, std::uint16_t crc,
                                      bool leading_flag);

// The longest frame a packet of length bytes can make: every byte escaped, and both flags.
constexpr std::size_t hdlc_frame_limit(int length) {
    return 2 * static_cast<std::size_t>(length < 0 ? 0 : length) + 6;
}

// The same frame, written to out, which holds at least hdlc_frame_limit(length) bytes; returns its
// length. A caller that frames every request of a run into one buffer allocates nothing per frame.
std::size_t hdlc_encode_to(const std::uint8_t* packet, int length, std::uint16_t crc,
                           bool leading_flag, std::uint8_t* out);

// How many bytes at the start of data framing leaves as they are: neither flag nor escape.
std::size_t hdlc_plain_run(const std::uint8_t* data, std::size_t count);

// check_buf judges no answer, whatever its name says: it undoes the framing and logs a frame with
// no closing flag within capacity. The CRC is judged by crc16_check over the decoded length, the
// packet by its protocol.
//
// Decodes the frame at the start of buffer in place, reading and writing at most capacity bytes;
// returns the decoded length (packet plus its two CRC bytes). The overrun goes to log: the sink of
// the line the frame came in on; what decodes frames on no device's run leaves it to the program's.
int check_buf(std::uint8_t* buffer, int capacity, LogSink& log = program_log());
