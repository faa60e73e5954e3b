// Data the protocol tests feed the operations and read back: files, byte patterns, Intel HEX, and
// what a log holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& path);
// Deterministic bytes of every value.
Bytes pattern(std::size_t size, unsigned seed);

int count_of(const std::string& text, const std::string& needle);
// True when each needle occurs after the one before it.
bool in_order(const std::string& text, const std::vector<std::string>& needles);

// One line of an Intel HEX file, with its checksum.
std::string hex_record(unsigned type, unsigned offset, const Bytes& data);
// A programmer image as the tool expects it: each chunk starts on a 64 KiB boundary with a type
// 04 record (another one at every boundary it crosses), 16-byte data records following on; then
// the start address, the end record, a line break after each line.
struct HexChunk {
    std::uint32_t address;
    Bytes data;
};
std::string hex_file(const std::vector<HexChunk>& chunks, std::uint32_t start);

// The programmer's answer to hello: flash id of id_length bytes, sectors sector sizes, and the
// feature bits; versions 3 and 2, blocks of 1024 bytes. No byte up to the feature bits needs
// escaping, since the answer is read raw.
Bytes hello_answer(int id_length, int sectors, std::uint8_t features);
