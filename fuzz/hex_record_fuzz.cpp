// The Intel HEX line parser and the whole-file check on any text: no read past the line, and a
// record is accepted exactly when a parser written apart finds it well formed, with the same
// fields; the file check never accepts a file with no data or a start address outside its data.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dload/hex_file.h"
#include "fuzz/support/fuzz_check.h"

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The record's bytes (count, offset, type, data, checksum) when the line is ':' and pairs of hex
// digits only, after its "\n" or "\r\n" is taken off.
bool reference_bytes(std::string line, std::vector<unsigned>* bytes) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return false;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        if (digit(line[i]) < 0 || digit(line[i + 1]) < 0) return false;
        bytes->push_back(static_cast<unsigned>(digit(line[i]) * 16 + digit(line[i + 1])));
    }
    return true;
}

bool reference_record(const std::string& line, HexRecord* out) {
    std::vector<unsigned> b;
    if (!reference_bytes(line, &b) || b[0] > kHexMaxData || b.size() != b[0] + 5) return false;
    unsigned sum = 0;
    for (unsigned v : b)
        sum += v;
    const unsigned type = b[3];
    const int required = type == 1 ? 0 : type == 4 ? 2 : type == 5 ? 4 : -1;
    if (sum % 256 != 0 || (required >= 0 && b[0] != static_cast<unsigned>(required))) return false;
    out->count = b[0];
    out->offset = b[1] * 256 + b[2];
    out->type = type;
    for (unsigned i = 0; i < b[0]; ++i)
        out->data[i] = static_cast<std::uint8_t>(b[4 + i]);
    return true;
}

void check_line(const char* data, std::size_t size) {
    auto line = std::make_unique<char[]>(size ? size : 1);  // exactly the line: no terminator
    std::copy(data, data + size, line.get());
    HexRecord record;
    std::string why;
    const bool parsed = parse_hex_record(line.get(), static_cast<int>(size), &record, &why);
    HexRecord expected;
    FUZZ_CHECK(parsed == reference_record(std::string(data, size), &expected));
    FUZZ_CHECK(parsed || !why.empty());
    if (!parsed) return;
    FUZZ_CHECK(record.count == expected.count && record.offset == expected.offset);
    FUZZ_CHECK(record.type == expected.type);
    FUZZ_CHECK(std::equal(record.data, record.data + record.count, expected.data));
}

void check_file(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!file) return;
    HexSummary summary;
    int line = -1;
    std::string why;
    const bool good = check_hex_file(file, &summary, &line, &why);
    std::fclose(file);
    FUZZ_CHECK(good || !why.empty());
    FUZZ_CHECK(line >= 0);
    if (!good) return;
    FUZZ_CHECK(summary.data_records > 0 && summary.data_bytes > 0);
    FUZZ_CHECK(summary.lowest <= summary.go_address && summary.go_address < summary.end);
    FUZZ_CHECK(summary.end <= 0x100000000ull);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_line(reinterpret_cast<const char*>(data), size);
    check_file(data, size);
    return 0;
}
