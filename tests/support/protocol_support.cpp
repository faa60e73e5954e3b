#include "tests/support/protocol_support.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/base/log.h"
#include "link/port_table.h"
#include "link/serial_port.h"
#include "stream/stream_commands.h"

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

int count_of(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

bool in_order(const std::string& text, const std::vector<std::string>& needles) {
    std::size_t at = 0;
    for (const auto& needle : needles) {
        at = text.find(needle, at);
        if (at == std::string::npos) return false;
        at += needle.size();
    }
    return true;
}

std::string hex_record(unsigned type, unsigned offset, const Bytes& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset,
                  type);
    std::string line = head;
    for (std::uint8_t b : data) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
        sum += b;
    }
    char check[3];
    std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + check;
}

std::string hex_file(const std::vector<HexChunk>& chunks, std::uint32_t start) {
    std::string text;
    for (const auto& [address, data] : chunks) {
        for (std::size_t at = 0; at < data.size(); at += 16) {
            const std::uint32_t here = address + static_cast<std::uint32_t>(at);
            if (at == 0 || (here & 0xFFFF) == 0) {
                const std::uint32_t upper = here >> 16;
                text += hex_record(0x04, 0,
                                   {static_cast<std::uint8_t>(upper >> 8),
                                    static_cast<std::uint8_t>(upper)}) +
                        "\n";
            }
            const std::size_t count = std::min<std::size_t>(16, data.size() - at);
            text += hex_record(0x00, here & 0xFFFF,
                               Bytes(data.begin() + at, data.begin() + at + count)) +
                    "\n";
        }
    }
    text +=
        hex_record(0x05, 0,
                   {static_cast<std::uint8_t>(start >> 24), static_cast<std::uint8_t>(start >> 16),
                    static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start)}) +
        "\n";
    text += hex_record(0x01, 0, {}) + "\n";
    return text;
}

ProtocolTest::ProtocolTest() {
    if (!serial_port) serial_port = std::make_unique<CSerialPort>();
}

ProtocolTest::~ProtocolTest() {
    serial_port->Close();
    if (emulator) emulator->stop();
}

emu::Emulator& ProtocolTest::device(emu::Mode mode, emu::Options options, bool greet) {
    options.start_mode = mode;
    options.single_pty = true;
    emulator = std::make_unique<emu::Emulator>(options);
    if (!emulator->start()) throw std::runtime_error("emulator: " + emulator->error());
    if (!emulator->wait_for(mode, std::chrono::seconds(10))) {
        throw std::runtime_error("emulator did not appear");
    }
    port = port_table_register(emulator->device_node());
    serial_port->Open(port);
    if (mode == emu::Mode::Stream && greet) {
        if (!send_dl_hello()) throw std::runtime_error("programmer did not answer hello");
        log.restart();
    }
    return *emulator;
}
