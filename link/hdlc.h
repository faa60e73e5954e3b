// HDLC-like framing with the 16-bit frame check sequence of RFC 1662.
#pragma once

#include <cstdint>
#include <vector>

// Ends every frame; DLOAD and streaming requests open with it too.
constexpr std::uint8_t kFrameFlag = 0x7E;

// CRC over bits / 8 whole bytes, complemented: the value that goes into the frame.
std::uint16_t crc16_bits(const std::uint8_t* data, int bits);

// 1 when the CRC over count bytes (packet and its CRC together) gives the good residue 0x0F47.
int crc16_check(const std::uint8_t* data, int count);

// Frames a packet: optional leading 0x7E, escaped packet, escaped CRC low then high, closing 0x7E.
std::vector<std::uint8_t> hdlc_encode(const std::uint8_t* packet, int length, std::uint16_t crc,
                                      bool leading_flag);

// Decodes the frame at the start of buffer in place, reading and writing at most capacity bytes;
// returns the decoded length (packet plus its two CRC bytes).
int check_buf(std::uint8_t* buffer, int capacity);
