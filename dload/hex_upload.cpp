#include "dload/hex_upload.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"

namespace {

constexpr int kLineSize = 1024;
constexpr int kLineLimit = 256;
constexpr int kReceiveSize = 1024;
constexpr int kTickEveryLines = 400;

// WRITE request: 0x0F, 32-bit address and 16-bit length (both high byte first), then the data.
constexpr int kWriteSize = 100;
constexpr int kWriteHeader = 7;
constexpr unsigned kMaxRecordData = kWriteSize - kWriteHeader;

constexpr std::uint8_t kAck = 0x02;

enum Failure { kAnswerFailed = 1, kCrcFailed };

// An Intel HEX record as it sits in a line: ':' count(2) offset(4) type(2) data(2 x count)
// checksum(2). The checksum is converted but not verified.
struct Record {
    unsigned count = 0;
    unsigned offset = 0;
    unsigned type = 0;
    std::uint8_t data[kMaxRecordData] = {};
};

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

// Parses the record of a line of length characters whose byte count is count (> 0). Anything
// that would make the upload read past the line or write past the WRITE request is refused
// with its own log line.
bool parse_record(const char* line, int length, int line_number, unsigned count, Record* record) {
    if (count > kMaxRecordData) {
        log_write("Parse hex line %d error: %u data bytes, a write carries at most %u\n",
                  line_number, count, kMaxRecordData);
        return false;
    }
    const int needed = 11 + 2 * static_cast<int>(count);
    if (needed > length) {
        log_write("Parse hex line %d error: byte count runs past the line\n", line_number);
        return false;
    }
    unsigned checksum = 0;
    bool digits = hex_field(line, 3, 4, &record->offset) && hex_field(line, 7, 2, &record->type);
    for (unsigned i = 0; digits && i < count; ++i) {
        unsigned byte = 0;
        digits = hex_field(line, 9 + 2 * static_cast<int>(i), 2, &byte);
        record->data[i] = static_cast<std::uint8_t>(byte);
    }
    if (!digits || !hex_field(line, needed - 2, 2, &checksum)) {
        log_write("Parse hex line %d error: not a hexadecimal digit\n", line_number);
        return false;
    }
    record->count = count;
    if (record->type == 0x04 && count < 2) {
        log_write("Parse hex line %d error: extended address record with %u data bytes\n",
                  line_number, count);
        return false;
    }
    if (record->type == 0x05 && count < 4) {
        log_write("Parse hex line %d error: start address record with %u data bytes\n", line_number,
                  count);
        return false;
    }
    return true;
}

// One WRITE of a data record at address, up to ten attempts.
bool write_record(std::uint32_t address, const Record& record, int line_number) {
    std::uint8_t request[kWriteSize];
    request[0] = 0x0F;
    put_be32(request + 1, address);
    put_be16(request + 5, static_cast<std::uint16_t>(record.count));
    std::memcpy(request + kWriteHeader, record.data, record.count);
    const int length = kWriteHeader + static_cast<int>(record.count);
    const std::uint16_t crc = crc16_bits(request, length * 8);

    std::uint8_t received[kReceiveSize];
    const int failure = run_attempts([&] {
        std::memset(received, 0, sizeof received);
        const int sent = apply_dl_cmd(request, length, received, kReceiveSize, crc);
        std::uint8_t* answer = locate_answer(received);
        if (!sent || answer[0] != kAck) return static_cast<int>(kAnswerFailed);
        if (!crc16_check(answer, check_buf(answer, kReceiveSize - 1))) {
            return static_cast<int>(kCrcFailed);
        }
        return 0;
    });
    if (failure == kAnswerFailed) {
        log_write("Line %d ack crc error\n", line_number);
        log_bytes(received, kReceiveSize);
        log_write("\n");
    } else if (failure == kCrcFailed) {
        log_write("hex_dload: check crc error\n");
    }
    return failure == 0;
}

// Reads the records and writes the data records. True when GO is to be sent, with the start
// address of the file (00 00 00 00 without a type 05 record) in go_address.
bool write_records(std::FILE* file, DialogHandle dialog, int* counter, std::uint8_t* go_address) {
    // 64 bits wide, so that data running past the 32-bit address space is seen, not wrapped.
    std::uint64_t address = 0;
    int line_number = 0;
    char line[kLineSize];
    for (;;) {
        std::memset(line, 0, sizeof line);
        const int length = read_nprg(file, line, kLineLimit);
        ++line_number;
        if (length == 0) break;  // not a record line: read_nprg has logged it

        unsigned count = 0;
        if (length < 3) {
            log_write("Parse hex line %d error: byte count runs past the line\n", line_number);
            return false;
        }
        if (!hex_field(line, 1, 2, &count)) {
            log_write("Parse hex line %d error: not a hexadecimal digit\n", line_number);
            return false;
        }
        if (count == 0) {
            log_write("Parse hex line %d is no data\n", line_number);
        } else {
            Record record;
            if (!parse_record(line, length, line_number, count, &record)) return false;
            if (record.type == 0x00) {
                if (address + count > 0x100000000ull) {
                    log_write("Parse hex line %d error: data runs past the 32-bit address space\n",
                              line_number);
                    return false;
                }
                // Data is written at the running address; the record's own offset only tells
                // whether the file describes the same place.
                if ((address & 0xFFFF) != record.offset) {
                    log_write("Parse hex line %d warning: offset 0x%04x written at 0x%08x\n",
                              line_number, record.offset, static_cast<unsigned>(address));
                }
                if (!write_record(static_cast<std::uint32_t>(address), record, line_number)) {
                    return false;
                }
                if (line_number % kTickEveryLines == 0) progress_tick(dialog, counter);
                address += count;
            } else if (record.type == 0x04) {
                address = (static_cast<std::uint64_t>(record.data[0]) << 24) |
                          (static_cast<std::uint64_t>(record.data[1]) << 16);
            } else if (record.type == 0x05) {
                std::memcpy(go_address, record.data, 4);
            } else {
                break;  // any other record ends the programmer image
            }
        }
        if (std::feof(file) || std::ferror(file)) break;
    }
    if (std::ferror(file)) {
        log_write("retry_start_go: read hex file error! \n");
        return false;
    }
    return true;
}

// GO with the start address; any answer with a good CRC counts.
int send_go(const std::uint8_t* go_address) {
    std::uint8_t request[5] = {0x05};
    std::memcpy(request + 1, go_address, 4);
    const std::uint16_t crc = crc16_bits(request, sizeof request * 8);
    std::uint8_t received[kReceiveSize];
    const int failure = run_attempts([&] {
        std::memset(received, 0, sizeof received);
        if (!apply_dl_cmd(request, sizeof request, received, kReceiveSize, crc)) return 1;
        std::uint8_t* answer = locate_answer(received);
        return crc16_check(answer, check_buf(answer, kReceiveSize - 1)) ? 0 : 1;
    });
    if (failure != 0) {
        log_write("retry_start_go: send dl cmd error! \n");
        return 0;
    }
    return 1;
}

}  // namespace

int read_nprg(std::FILE* file, char* buffer, int limit) {
    if (!file || !buffer || limit <= 0) return 0;
    int stored = 0;
    while (stored < limit) {
        const int c = std::fgetc(file);
        if (c == EOF) break;
        buffer[stored++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (stored > 0 && buffer[0] == ':') return stored;
    log_write("read_nprg: format error! \n");
    return 0;
}

int retry_start_go(const char* path, DialogHandle dialog, int* counter) {
    std::FILE* file = path ? std::fopen(path, "r") : nullptr;
    if (!file) {
        log_write("Open amarg hex file error\n");
        return 0;
    }
    std::uint8_t go_address[4] = {0, 0, 0, 0};
    const int result = write_records(file, dialog, counter, go_address) ? send_go(go_address) : 0;
    std::fclose(file);
    return result;
}
