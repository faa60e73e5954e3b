// The flash programmer as an Intel HEX file: one record per line,
//   ':' count(2) offset(4) type(2) data(2 x count) checksum(2)
// in hexadecimal digits, the checksum making the sum of all bytes of the record zero.
//
// The boot downloader writes each data record at a running address: the address of the last
// extended linear address record, advanced by every data record written since. So the file is
// accepted only when each data record's own address is that running address (the records follow
// one another without gaps), and only when every line up to the last record is a record: anything
// the upload would stop at or pass over is refused before a byte goes to the device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

constexpr unsigned kHexData = 0x00;
constexpr unsigned kHexEndOfFile = 0x01;
constexpr unsigned kHexExtendedLinearAddress = 0x04;
constexpr unsigned kHexStartLinearAddress = 0x05;

// A WRITE request carries at most this many data bytes.
constexpr unsigned kHexMaxData = 93;

// Lines longer than this are not records of this file.
constexpr int kHexLineLimit = 256;

struct HexRecord {
    unsigned count = 0;
    unsigned offset = 0;
    unsigned type = 0;
    std::uint8_t data[kHexMaxData] = {};
};

// Parses one line of length characters (its line end, "\n" or "\r\n", may be included). False with
// *why set when the line is not a whole, well-formed record: digits, byte count, checksum, the data
// lengths of the record types, no characters after the checksum.
bool parse_hex_record(const char* line, int length, HexRecord* record, std::string* why);

// What a checked file loads.
struct HexSummary {
    int data_records = 0;
    std::uint64_t data_bytes = 0;
    std::uint32_t lowest = 0;      // lowest address written
    std::uint64_t end = 0;         // one past the highest address written
    std::uint32_t go_address = 0;  // from the start linear address record, else 0
    bool has_start_record = false;
    int tick_lines = 0;  // data records on lines whose number is a multiple of 400
};

// Every data record moves the progress counter on by its cost; the bar shows it on every 400th
// line when that line is a data record.
constexpr int kHexTickEveryLines = 400;

// Where check_hex_file reads the file's characters from.
class HexSource {
  public:
    virtual ~HexSource() = default;
    virtual int get() = 0;  // the next character; EOF at the end or on failure
    virtual bool failed() const = 0;
    virtual std::string failure() const = 0;  // why it failed
};

// Reads the whole file from where it stands and checks that the upload would load all of it as
// meant: every line a record up to the last one (blank lines may follow it), known record types
// only, no record after the end-of-file record, data records following the running address
// without gaps and inside 32-bit addresses, at least one data record, and a start address inside
// the loaded data. False with *line (0 when no single line is to blame) and *why set.
bool check_hex_file(HexSource& source, HexSummary* summary, int* line, std::string* why);
bool check_hex_file(std::FILE* file, HexSummary* summary, int* line, std::string* why);
