#include "dload/hex_file.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of digits hex characters at line[position]; false when one of them is not a digit.
bool hex_field(const char* line, int position, int digits, unsigned* value) {
    unsigned result = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = hex_digit(line[position + i]);
        if (digit < 0) return false;
        result = result * 16 + static_cast<unsigned>(digit);
    }
    *value = result;
    return true;
}

std::string format(const char* pattern, unsigned a, unsigned b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// The data length each address record type must have; -1 for any.
int required_count(unsigned type) {
    switch (type) {
        case kHexEndOfFile:
            return 0;
        case kHexExtendedLinearAddress:
            return 2;
        case kHexStartLinearAddress:
            return 4;
        default:
            return -1;
    }
}

bool check_type_length(const HexRecord& record, std::string* why) {
    const int required = required_count(record.type);
    if (required < 0 || record.count == static_cast<unsigned>(required)) return true;
    switch (record.type) {
        case kHexExtendedLinearAddress:
            *why = format("extended address record with %u data bytes", record.count);
            break;
        case kHexStartLinearAddress:
            *why = format("start address record with %u data bytes", record.count);
            break;
        default:
            *why = format("end-of-file record with %u data bytes", record.count);
            break;
    }
    return false;
}

// One line, its '\n' included, at most limit characters; 0 at the end of the file. *overlong
// when the line goes on past limit characters.
int read_line(HexSource& source, char* buffer, int limit, bool* overlong) {
    int stored = 0;
    *overlong = false;
    while (stored < limit) {
        const int c = source.get();
        if (c == EOF) return stored;
        buffer[stored++] = static_cast<char>(c);
        if (c == '\n') return stored;
    }
    const int next = source.get();
    if (next != EOF) *overlong = true;
    return stored;
}

bool is_blank(const char* line, int length) {
    for (int i = 0; i < length; ++i) {
        if (line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n') return false;
    }
    return true;
}

// What the walk over the records has seen so far.
struct Loading {
    std::uint64_t address = 0;  // running address
    std::uint32_t upper = 0;    // upper 16 bits from the last extended linear address record
    bool ended = false;         // the end-of-file record was read
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // loaded [from, to)
};

bool take_data(const HexRecord& record, Loading* loading, HexSummary* summary, std::string* why) {
    if (record.count == 0) return true;  // carries nothing
    const std::uint64_t own = (static_cast<std::uint64_t>(loading->upper) << 16) | record.offset;
    if (own != loading->address) {
        *why = format("record at offset 0x%04X does not follow the data before it (0x%04X)",
                      record.offset, static_cast<unsigned>(loading->address & 0xFFFF));
        return false;
    }
    if (loading->address + record.count > 0x100000000ull) {
        *why = "data runs past the 32-bit address space";
        return false;
    }
    auto& ranges = loading->ranges;
    if (!ranges.empty() && ranges.back().second == loading->address) {
        ranges.back().second += record.count;
    } else {
        ranges.emplace_back(loading->address, loading->address + record.count);
    }
    loading->address += record.count;
    ++summary->data_records;
    summary->data_bytes += record.count;
    return true;
}

bool take_record(const HexRecord& record, Loading* loading, HexSummary* summary, std::string* why) {
    if (loading->ended) {
        *why = "record after the end-of-file record";
        return false;
    }
    switch (record.type) {
        case kHexData:
            return take_data(record, loading, summary, why);
        case kHexEndOfFile:
            loading->ended = true;
            return true;
        case kHexExtendedLinearAddress:
            loading->upper = (static_cast<std::uint32_t>(record.data[0]) << 8) | record.data[1];
            loading->address = static_cast<std::uint64_t>(loading->upper) << 16;
            return true;
        case kHexStartLinearAddress:
            summary->go_address = (static_cast<std::uint32_t>(record.data[0]) << 24) |
                                  (static_cast<std::uint32_t>(record.data[1]) << 16) |
                                  (static_cast<std::uint32_t>(record.data[2]) << 8) |
                                  record.data[3];
            summary->has_start_record = true;
            return true;
        default:
            // A record without data is passed over by the upload; any other kind would stop it.
            if (record.count == 0) return true;
            *why = format("record type 0x%02X is not supported", record.type);
            return false;
    }
}

// The whole file's verdict once every line was read.
bool check_loaded(const Loading& loading, HexSummary* summary, std::string* why) {
    if (summary->data_records == 0) {
        *why = "no data record";
        return false;
    }
    summary->lowest = static_cast<std::uint32_t>(loading.ranges.front().first);
    summary->end = loading.ranges.front().second;
    bool start_loaded = false;
    for (const auto& [from, to] : loading.ranges) {
        if (from < summary->lowest) summary->lowest = static_cast<std::uint32_t>(from);
        if (to > summary->end) summary->end = to;
        if (summary->go_address >= from && summary->go_address < to) start_loaded = true;
    }
    if (!start_loaded) {
        *why = format("start address 0x%08X lies outside the loaded data", summary->go_address);
        return false;
    }
    return true;
}

}  // namespace

bool parse_hex_record(const char* line, int length, HexRecord* record, std::string* why) {
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    unsigned count = 0;
    if (length < 3 || line[0] != ':') {
        *why = "byte count runs past the line";
        return false;
    }
    if (!hex_field(line, 1, 2, &count)) {
        *why = "not a hexadecimal digit";
        return false;
    }
    if (count > kHexMaxData) {
        *why = format("%u data bytes, a write carries at most %u", count, kHexMaxData);
        return false;
    }
    const int needed = 11 + 2 * static_cast<int>(count);
    if (needed > length) {
        *why = "byte count runs past the line";
        return false;
    }
    if (needed < length) {
        *why = "characters after the checksum";
        return false;
    }
    unsigned checksum = 0;
    bool digits = hex_field(line, 3, 4, &record->offset) && hex_field(line, 7, 2, &record->type);
    unsigned sum = count + (record->offset >> 8) + (record->offset & 0xFF) + record->type;
    for (unsigned i = 0; digits && i < count; ++i) {
        unsigned byte = 0;
        digits = hex_field(line, 9 + 2 * static_cast<int>(i), 2, &byte);
        record->data[i] = static_cast<std::uint8_t>(byte);
        sum += byte;
    }
    if (!digits || !hex_field(line, needed - 2, 2, &checksum)) {
        *why = "not a hexadecimal digit";
        return false;
    }
    record->count = count;
    if (((sum + checksum) & 0xFF) != 0) {
        *why = format("checksum 0x%02X does not match the record (0x%02X)", checksum,
                      (0x100 - (sum & 0xFF)) & 0xFF);
        return false;
    }
    return check_type_length(*record, why);
}

bool check_hex_file(std::FILE* file, HexSummary* summary, int* line, std::string* why) {
    class FileSource : public HexSource {
      public:
        explicit FileSource(std::FILE* file) : file_(file) {}
        int get() override { return std::fgetc(file_); }
        bool failed() const override { return std::ferror(file_) != 0; }
        std::string failure() const override { return std::strerror(errno); }

      private:
        std::FILE* file_;
    };
    FileSource source(file);
    return check_hex_file(source, summary, line, why);
}

bool check_hex_file(HexSource& source, HexSummary* summary, int* line, std::string* why) {
    *summary = HexSummary{};
    *line = 0;
    Loading loading;
    int first_blank = 0;
    char text[kHexLineLimit];
    for (int number = 1;; ++number) {
        bool overlong = false;
        const int length = read_line(source, text, kHexLineLimit, &overlong);
        if (length == 0) break;
        *line = number;
        if (overlong) {
            *why = format("line longer than %u characters", kHexLineLimit);
            return false;
        }
        if (is_blank(text, length)) {
            if (first_blank == 0) first_blank = number;
            continue;
        }
        // The upload stops at the first line that is not a record: whatever follows would be lost.
        if (first_blank != 0) {
            *line = first_blank;
            *why = "blank line before the last record";
            return false;
        }
        if (text[0] != ':') {
            *why = "not a record";
            return false;
        }
        HexRecord record;
        if (!parse_hex_record(text, length, &record, why) ||
            !take_record(record, &loading, summary, why))
            return false;
        if (record.type == kHexData && record.count > 0 && number % kHexTickEveryLines == 0)
            ++summary->tick_lines;
    }
    *line = 0;
    if (source.failed()) {
        *why = "cannot be read: " + source.failure();
        return false;
    }
    return check_loaded(loading, summary, why);
}
