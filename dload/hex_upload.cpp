#include "dload/hex_upload.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log_sink.h"
#include "dload/dload_wire.h"
#include "dload/hex_file.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"

namespace {

constexpr int kLineSize = 1024;
constexpr int kReceiveSize = 1024;

constexpr int kWriteSize = kDloadWriteHeader + kHexMaxData;

enum Failure { kAnswerFailed = 1, kCrcFailed };

// One WRITE of a data record at address, up to ten attempts.
bool write_record(DeviceLine& line, std::uint32_t address, const HexRecord& record,
                  int line_number) {
    std::uint8_t request[kWriteSize];
    request[0] = kDloadWrite;
    put_be32(request + 1, address);
    put_be16(request + 5, static_cast<std::uint16_t>(record.count));
    std::memcpy(request + kDloadWriteHeader, record.data, record.count);
    const int length = kDloadWriteHeader + static_cast<int>(record.count);
    const std::uint16_t crc = crc16_bits(request, length * 8);

    std::uint8_t received[kReceiveSize];
    const int failure = run_attempts(line, [&] {
        std::memset(received, 0, sizeof received);
        const int sent = apply_dl_cmd(line, request, length, received, kReceiveSize, crc);
        std::uint8_t* answer = locate_answer(received);
        if (!sent || answer[0] != kDloadAck) return static_cast<int>(kAnswerFailed);
        if (!crc16_check(answer, check_buf(answer, kReceiveSize - 1, line.log()))) {
            return static_cast<int>(kCrcFailed);
        }
        return 0;
    });
    if (failure == kAnswerFailed) {
        line.log().write("Line %d ack crc error\n", line_number);
        line.log().bytes(received, kReceiveSize);
        line.log().write("\n");
    } else if (failure == kCrcFailed) {
        line.log().write("hex_dload: check crc error\n");
    }
    return failure == 0;
}

// The one record that a line holds; false (logged) when the line is not a whole record.
bool parse_line(const char* line, int length, int line_number, HexRecord* record, LogSink& log) {
    std::string why;
    if (parse_hex_record(line, length, record, &why)) return true;
    log.write("Parse hex line %d error: %s\n", line_number, why.c_str());
    return false;
}

// Reads the records and writes the data records. True when GO is to be sent, with the start
// address of the file in go_address. The file was checked whole before: a line that does not
// parse now, or data that no longer follows the running address, means it changed meanwhile.
bool write_records(DeviceLine& line, SentFile& file, DialogHandle dialog, int* counter,
                   std::uint8_t* go_address) {
    std::uint64_t address = 0;
    int line_number = 0;
    char text[kLineSize];
    for (;;) {
        std::memset(text, 0, sizeof text);
        const int length = read_nprg(file, text, kHexLineLimit, line.log());
        ++line_number;
        if (length == 0) break;  // not a record line: read_nprg has logged it

        HexRecord record;
        if (!parse_line(text, length, line_number, &record, line.log())) return false;
        if (record.count == 0) {
            line.log().write("Parse hex line %d is no data\n", line_number);
        } else if (record.type == kHexData) {
            if ((address & 0xFFFF) != record.offset || address + record.count > 0x100000000ull) {
                line.log().write("Parse hex line %d error: the file changed while it was loaded\n",
                                 line_number);
                return false;
            }
            if (!write_record(line, static_cast<std::uint32_t>(address), record, line_number)) {
                return false;
            }
            progress_advance(dialog, counter, exchange_cost(record.count),
                             line_number % kHexTickEveryLines == 0);
            address += record.count;
        } else if (record.type == kHexExtendedLinearAddress) {
            address = (static_cast<std::uint64_t>(record.data[0]) << 24) |
                      (static_cast<std::uint64_t>(record.data[1]) << 16);
        } else if (record.type == kHexStartLinearAddress) {
            std::memcpy(go_address, record.data, 4);
        } else {
            break;  // any other record ends the programmer image
        }
        if (file.ended() || file.failed()) break;
    }
    // What follows the last record is hashed too: GO starts only the file the package check saw.
    if (file.failed() || !file.judge_rest()) {
        line.log().write("retry_start_go: read hex file error! \n");
        return false;
    }
    return true;
}

class SentHexSource : public HexSource {
  public:
    explicit SentHexSource(SentFile& file) : file_(file) {}
    int get() override { return file_.get(); }
    bool failed() const override { return file_.failed(); }
    std::string failure() const override { return file_.failure(); }

  private:
    SentFile& file_;
};

// The whole file is checked before the first WRITE: a file the upload would load only in part,
// or with a corrupt record, or one that changed since the package check, never reaches the
// device's memory, let alone GO.
bool check_before_upload(SentFile& file, const char* path, LogSink& log) {
    HexSummary summary;
    int line = 0;
    std::string why;
    SentHexSource source(file);
    const bool good = check_hex_file(source, &summary, &line, &why);
    if (!good && line > 0) log.write("Parse hex line %d error: %s\n", line, why.c_str());
    if (!good && line == 0) log.write("retry_start_go: %s: %s\n", path, why.c_str());
    file.rewind();
    return good;
}

// GO with the start address; any packet with a good CRC counts, but not the bare CRC of an empty
// one.
int send_go(DeviceLine& line, const std::uint8_t* go_address) {
    std::uint8_t request[kDloadGoLength] = {kDloadGo};
    std::memcpy(request + 1, go_address, 4);
    const std::uint16_t crc = crc16_bits(request, sizeof request * 8);
    std::uint8_t received[kReceiveSize];
    const int failure = run_attempts(line, [&] {
        std::memset(received, 0, sizeof received);
        if (!apply_dl_cmd(line, request, sizeof request, received, kReceiveSize, crc)) return 1;
        std::uint8_t* answer = locate_answer(received);
        const int decoded = check_buf(answer, kReceiveSize - 1, line.log());
        return decoded >= 3 && crc16_check(answer, decoded) ? 0 : 1;
    });
    if (failure != 0) {
        line.log().write("retry_start_go: send dl cmd error! \n");
        return 0;
    }
    return 1;
}

}  // namespace

int read_nprg(SentFile& file, char* buffer, int limit, LogSink& log) {
    if (!file.is_open() || !buffer || limit <= 0) return 0;
    int stored = 0;
    while (stored < limit) {
        const int c = file.get();
        if (c == EOF) break;
        buffer[stored++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (stored > 0 && buffer[0] == ':') return stored;
    log.write("read_nprg: format error! \n");
    return 0;
}

int retry_start_go(DeviceLine& line, const char* path, DialogHandle dialog, int* counter) {
    SentFile file(line.log());
    if (!path || !file.open(path)) {
        const int error = errno;
        line.log().write("Open amarg hex file error\n");
        if (path) line.log().tell_reason("cannot open %s: %s", path, std::strerror(error));
        return 0;
    }
    std::uint8_t go_address[4] = {0, 0, 0, 0};
    const int result = check_before_upload(file, path, line.log()) &&
                               write_records(line, file, dialog, counter, go_address)
                           ? send_go(line, go_address)
                           : 0;
    return result;
}
