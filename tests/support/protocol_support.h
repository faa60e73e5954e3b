// What the protocol tests share: a download log placed in a temporary folder, files to feed the
// operations, the program-wide serial port, and an emulated device on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

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

// Every test works on the program-wide serial port and a log of its own.
class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest();
    ~ProtocolTest() override;

    // Starts an emulated device on one pseudo-terminal in mode and opens the serial port on it.
    // A programmer is greeted first, as it answers nothing else before; the log starts after it.
    emu::Emulator& device(emu::Mode mode, emu::Options options = {}, bool greet = true);

    LogCapture log;
    TempDir files;
    std::unique_ptr<emu::Emulator> emulator;
    int port = 0;
};
