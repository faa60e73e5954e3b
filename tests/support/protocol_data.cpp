#include "tests/support/protocol_data.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

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

Bytes hello_answer(int id_length, int sectors, std::uint8_t features) {
    Bytes out{0x02};
    out.insert(out.end(), 32, 'M');  // the magic text, which the tool does not look at
    out.insert(out.end(), {3, 2, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    out.push_back(static_cast<std::uint8_t>(id_length));
    for (int i = 0; i < id_length; ++i)
        out.push_back(static_cast<std::uint8_t>('A' + i % 26));
    out.insert(out.end(), {0x01, 0x00});
    out.push_back(static_cast<std::uint8_t>(sectors));
    out.push_back(static_cast<std::uint8_t>(sectors >> 8));
    for (int i = 0; i < sectors; ++i)
        out.insert(out.end(), {0x00, 0x00, 0x01, 0x00});
    out.push_back(features);
    return out;
}
