// The programmer upload from Intel HEX on a scripted boot downloader: what is written where, the
// files refused before anything is sent, failed answers and progress.
#include "dload/hex_upload.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>

#include "base/sent_file.h"
#include "base/sha256.h"
#include "tests/support/protocol_data.h"
#include "tests/support/recording_progress.h"
#include "tests/support/scripted_test.h"

namespace {

constexpr std::uint8_t kWrite = 0x0F;
constexpr std::uint8_t kGo = 0x05;

class HexUploadTest : public ScriptedTest {
  protected:
    HexUploadTest() { device().script({}, answer({0x02}, true)); }

    // The memory the WRITE requests filled: address, then 32-bit address and 16-bit length, high
    // byte first, then the data.
    std::map<std::uint32_t, std::uint8_t> memory() {
        std::map<std::uint32_t, std::uint8_t> bytes;
        for (const Bytes& r : device().requests()) {
            if (r[0] != kWrite) continue;
            const std::uint32_t address = (r[1] << 24) | (r[2] << 16) | (r[3] << 8) | r[4];
            EXPECT_EQ(static_cast<std::size_t>((r[5] << 8) | r[6]), r.size() - 7);
            for (std::size_t i = 7; i < r.size(); ++i)
                bytes[address + static_cast<std::uint32_t>(i - 7)] = r[i];
        }
        return bytes;
    }
    Bytes ram(std::uint32_t address, std::size_t size) {
        const auto bytes = memory();
        Bytes out;
        for (std::size_t i = 0; i < size; ++i) {
            const auto at = bytes.find(address + static_cast<std::uint32_t>(i));
            out.push_back(at == bytes.end() ? 0 : at->second);
        }
        return out;
    }
    int writes() const { return count_code(kWrite); }
    int gos() const { return count_code(kGo); }
    // The start address GO carried.
    std::uint32_t go_address() {
        const Bytes& go = device().requests().back();
        EXPECT_EQ(go.size(), 5u);
        return (go[1] << 24) | (go[2] << 16) | (go[3] << 8) | go[4];
    }
    std::string upload_log() { return log.text(); }
};

TEST_F(HexUploadTest, ProgrammerLandsAtTheRunningAddressAndStartsAtTheFilesAddress) {
    // Two pieces, so two type 04 records; the last data record is short.
    const Bytes low = pattern(0x100, 1);
    const Bytes high = pattern(0x130, 2);
    const std::string path =
        files.write("NPRG6280.hex", hex_file({{0x00800000, low}, {0x00900000, high}}, 0x00800040));

    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(ram(0x00800000, low.size()), low);
    EXPECT_EQ(ram(0x00900000, high.size()), high);
    EXPECT_EQ(memory().size(), low.size() + high.size());
    EXPECT_EQ(go_address(), 0x00800040u);
    EXPECT_EQ(writes(), 16 + 19);
    EXPECT_EQ(gos(), 1);
    // 2 address records + 35 data records + start record, then the end record and the read
    // that meets the end of the file after the last line break.
    EXPECT_EQ(upload_log(), "Parse hex line 39 is no data\nread_nprg: format error! \n");
}

TEST_F(HexUploadTest, FileWithoutFinalLineBreakEndsWithoutFormatError) {
    std::string text = hex_record(0x00, 0, {1, 2, 3, 4}) + "\n" + hex_record(0x01, 0, {});
    const std::string path = files.write("p.hex", text);
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(ram(0, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(go_address(), 0u);
    EXPECT_EQ(upload_log(), "Parse hex line 2 is no data\n");
}

// A file the upload would load only in part, or not as meant, never reaches the device.
struct Refused {
    const char* name;
    std::string text;
    std::string message;  // the log line; a file-level one is prefixed with the path
};
void PrintTo(const Refused& x, std::ostream* os) {
    *os << x.name;
}

class RefusedFileTest : public HexUploadTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedFileTest, SendsNothingAtAll) {
    const std::string path = files.write("p.hex", GetParam().text);
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 0);
    std::string expected = GetParam().message;
    if (!expected.starts_with("Parse hex line"))
        expected = "retry_start_go: " + path + ": " + expected;
    EXPECT_EQ(upload_log(), expected);
}

std::string lines(const std::vector<std::string>& records) {
    std::string text;
    for (const std::string& r : records)
        text += r + "\n";
    return text;
}

// 705 records of 93 bytes from 0x00010000 run into the next 64 KiB; the next record's offset, read
// within the segment of the last 04 record, points back to its start.
std::string wrapping_segment() {
    std::string text = hex_record(0x04, 0, {0x00, 0x01}) + "\n";
    for (unsigned i = 0; i < 705; ++i)
        text += hex_record(0x00, (i * 93) & 0xFFFF, Bytes(93, 0x5A)) + "\n";
    return text + hex_record(0x00, 0x001D, {1}) + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedFileTest,
    ::testing::Values(
        Refused{"EmptyFile", "", "no data record\n"},
        Refused{"OnlyAnEndRecord", lines({hex_record(0x01, 0, {})}), "no data record\n"},
        Refused{"BlankLineBetweenRecords",
                lines({hex_record(0x00, 0, {1, 2}), "", hex_record(0x00, 2, {3, 4})}),
                "Parse hex line 2 error: blank line before the last record\n"},
        Refused{"SegmentRecord",
                lines({hex_record(0x00, 0, {9, 9}), hex_record(0x02, 0, {0x10, 0x00}),
                       hex_record(0x00, 2, {7, 7})}),
                "Parse hex line 2 error: record type 0x02 is not supported\n"},
        Refused{"GapInOffsets",
                lines({hex_record(0x00, 0x0000, {1, 2}), hex_record(0x00, 0x0100, {3, 4})}),
                "Parse hex line 2 error: record at offset 0x0100 does not follow the data before "
                "it (0x0002)\n"},
        Refused{"DataWrappingInsideItsSegment", wrapping_segment(),
                "Parse hex line 707 error: record at offset 0x001D does not follow the data "
                "before it (0x001D)\n"},
        Refused{
            "RecordAfterTheEndRecord",
            lines({hex_record(0x00, 0, {1}), hex_record(0x01, 0, {}), hex_record(0x00, 1, {2})}),
            "Parse hex line 3 error: record after the end-of-file record\n"},
        Refused{"StartAddressOutsideTheLoadedData",
                lines({hex_record(0x04, 0, {0x00, 0x80}), hex_record(0x00, 0, {1, 2, 3, 4})}),
                "start address 0x00000000 lies outside the loaded data\n"},
        Refused{"StartRecordPastTheLastByte",
                lines({hex_record(0x00, 0, {1, 2, 3, 4}), hex_record(0x05, 0, {0, 0, 0, 4})}),
                "start address 0x00000004 lies outside the loaded data\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HexUploadTest, TrailingBlankLinesAfterTheLastRecordAreNoFault) {
    const std::string text =
        lines({hex_record(0x00, 0, {1, 2}), hex_record(0x01, 0, {}), "", "  "});
    const std::string path = files.write("p.hex", text);
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(ram(0, 2), (Bytes{1, 2}));
    EXPECT_EQ(gos(), 1);
}

TEST_F(HexUploadTest, DataRunningPastTheAddressSpaceIsRefusedInsteadOfWrapped) {
    // From 0xFFFF0000, 704 records of 93 bytes fill 65472 bytes; the next one does not fit.
    std::string text = hex_record(0x04, 0, {0xFF, 0xFF}) + "\n";
    for (unsigned i = 0; i < 705; ++i)
        text += hex_record(0x00, i * 93, Bytes(93, 0x5A)) + "\n";
    const std::string path = files.write("p.hex", text);
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(upload_log(), "Parse hex line 706 error: data runs past the 32-bit address space\n");
}

// --- failed answers ----------------------------------------------------------------------------

std::string one_record_file(TempDir& files) {
    return files.write("p.hex", hex_file({{0, pattern(64, 2)}}, 0));
}

struct WriteFailure {
    const char* name;
    Reply reply;
    std::string lines;       // logged before the dump of the receive buffer
    std::string dump_start;  // empty: no dump
};
void PrintTo(const WriteFailure& x, std::ostream* os) {
    *os << x.name;
}

class WriteFailureTest : public HexUploadTest,
                         public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(WriteFailureTest, TenFailedAttemptsEndTheUploadWithoutGo) {
    device().script({answer({0x02}, true)}, GetParam().reply);
    EXPECT_EQ(retry_start_go(line, one_record_file(files).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 11);
    EXPECT_EQ(gos(), 0);
    EXPECT_EQ(device().requests()[1], device().requests()[10]) << "the same record every time";
    const std::string text = upload_log();
    const WriteFailure& f = GetParam();
    if (f.dump_start.empty()) {
        EXPECT_EQ(text, f.lines);
        return;
    }
    ASSERT_TRUE(text.starts_with(f.lines + f.dump_start)) << text.substr(0, 200);
    // The whole receive buffer is dumped on one line, the answer first.
    const std::string dump = text.substr(f.lines.size());
    EXPECT_EQ(count_of(dump, "0x"), 1024);
    EXPECT_TRUE(dump.ends_with("0x0 \n"));
    EXPECT_EQ(count_of(dump, "\n"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WriteFailureTest,
    ::testing::Values(WriteFailure{"Nak", answer({0x03, 0x00, 0x07}, true),
                                   "Line 3 ack crc error\n", "0x7e 0x3 0x0 0x7 "},
                      WriteFailure{"Silence", silence(), "Line 3 ack crc error\n", "0x0 0x0 "},
                      WriteFailure{"PortRaises", raise_error(EIO),
                                   times(10, "apply dl cmd: Serial port wr/rd error\n") +
                                       "Line 3 ack crc error\n",
                                   "0x0 0x0 "},
                      WriteFailure{"AckWithBadCrc", raw(frame_bad_crc({0x02})),
                                   "hex_dload: check crc error\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HexUploadTest, WriteAcknowledgedAfterSilencesGoesOn) {
    device().script({silence(), silence()}, answer({0x02}, true));
    EXPECT_EQ(retry_start_go(line, one_record_file(files).c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(writes(), 4 + 2);
    EXPECT_EQ(waited_ms(), 2 * 500);
    EXPECT_EQ(ram(0, 64), pattern(64, 2));
}

TEST_F(HexUploadTest, UnansweredGoFailsTheUpload) {
    device().answer_with([](const Bytes& r) { return r[0] == kGo ? silence() : answer({0x02}); });
    EXPECT_EQ(retry_start_go(line, one_record_file(files).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(gos(), 10);
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_TRUE(upload_log().ends_with("retry_start_go: send dl cmd error! \n"));
}

TEST_F(HexUploadTest, GoAnsweredByTheBareCrcOfAnEmptyPacketFails) {
    device().answer_with([](const Bytes& r) {
        return r[0] == kGo ? raw({0x7E, 0x00, 0x00, 0x7E}) : answer({0x02});
    });
    EXPECT_EQ(retry_start_go(line, one_record_file(files).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(gos(), 10);
}

TEST_F(HexUploadTest, GoTakesAnyAnswerWithAGoodCrc) {
    device().answer_with([](const Bytes& r) {
        return r[0] == kGo ? answer({0x13, 0x05}, true) : answer({0x02});
    });
    EXPECT_EQ(retry_start_go(line, one_record_file(files).c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(gos(), 1);
}

TEST_F(HexUploadTest, MissingFileIsReportedWithTheSystemsReason) {
    const std::string path = files.path() + "/none.hex";
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(log.text(),
              "Open amarg hex file error\ncannot open " + path + ": No such file or directory\n");
}

TEST_F(HexUploadTest, ProgressTicksOnEveryFourHundredthDataLine) {
    // Line 1 sets the address; lines 2..801 are data records, the start record follows.
    std::string text = hex_record(0x04, 0, {0x00, 0x01}) + "\n";
    for (unsigned i = 0; i < 800; ++i)
        text += hex_record(0x00, i * 2, {1, 2}) + "\n";
    text += hex_record(0x05, 0, {0x00, 0x01, 0x00, 0x00}) + "\n";
    const std::string path = files.write("p.hex", text);
    RecordingProgress progress;
    int counter = 7;
    EXPECT_EQ(retry_start_go(line, path.c_str(), &progress, &counter), 1);
    // Each data record moves the counter on by its request; the bar shows it on lines 400 and
    // 800 (the 399th and 799th records).
    const int record = exchange_cost(2);
    EXPECT_EQ(progress.positions(), (std::vector<int>{7 + 399 * record, 7 + 799 * record}));
    EXPECT_EQ(counter, 7 + 800 * record);
    EXPECT_EQ(ram(0x00010000 + 1598, 2), (Bytes{1, 2}));
}

TEST_F(HexUploadTest, WithoutADialogNothingIsTicked) {
    std::string text;
    for (unsigned i = 0; i < 400; ++i)
        text += hex_record(0x00, i, {1}) + "\n";
    const std::string path = files.write("p.hex", text);
    int counter = 7;
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, &counter), 1);
    EXPECT_EQ(counter, 7);
}

struct Malformed {
    const char* name;
    std::string line;
    std::string message;
};
void PrintTo(const Malformed& x, std::ostream* os) {
    *os << x.name;
}

class MalformedRecordTest : public HexUploadTest,
                            public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedRecordTest, FailsTheUploadBeforeAnythingIsWritten) {
    // A good record first, so the file is known to be read up to the bad line.
    const std::string text = hex_record(0x00, 0, {5, 6}) + "\n" + GetParam().line + "\n" +
                             hex_record(0x00, 2, {7, 8}) + "\n";
    const std::string path = files.write("p.hex", text);
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(upload_log(), GetParam().message);
}

std::string long_record() {
    Bytes data(94, 0xAB);
    return hex_record(0x00, 2, data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedRecordTest,
    ::testing::Values(
        Malformed{"MoreThan93DataBytes", long_record(),
                  "Parse hex line 2 error: 94 data bytes, a write carries at most 93\n"},
        Malformed{"ShortExtendedAddress", hex_record(0x04, 0, {0x01}),
                  "Parse hex line 2 error: extended address record with 1 data bytes\n"},
        Malformed{"ShortStartAddress", hex_record(0x05, 0, {1, 2, 3}),
                  "Parse hex line 2 error: start address record with 3 data bytes\n"},
        Malformed{"ByteCountRunsPastTheLine", ":10000200AABBCC",
                  "Parse hex line 2 error: byte count runs past the line\n"},
        Malformed{"BareColon", ":", "Parse hex line 2 error: byte count runs past the line\n"},
        Malformed{"NotHexInData", ":02000200AZBB00",
                  "Parse hex line 2 error: not a hexadecimal digit\n"},
        Malformed{"NotHexInCount", ":G2000200AABB00",
                  "Parse hex line 2 error: not a hexadecimal digit\n"},
        Malformed{"NotHexInChecksum", ":02000200AABBX0",
                  "Parse hex line 2 error: not a hexadecimal digit\n"},
        Malformed{"ChecksumNotMatchingTheBytes", ":02000200AABBEE",
                  "Parse hex line 2 error: checksum 0xEE does not match the record (0x97)\n"},
        Malformed{"CharactersAfterTheChecksum", hex_record(0x00, 2, {1}) + "00",
                  "Parse hex line 2 error: characters after the checksum\n"},
        Malformed{"TextInsteadOfARecord", "programmer v2",
                  "Parse hex line 2 error: not a record\n"},
        Malformed{"LineLongerThanARecordCanBe", ":" + std::string(300, '0'),
                  "Parse hex line 2 error: line longer than 256 characters\n"},
        Malformed{"EndRecordWithData", hex_record(0x01, 0, {1}),
                  "Parse hex line 2 error: end-of-file record with 1 data bytes\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A programmer listed in a sealed package is judged by the digest its check kept, as it is read
// for the upload: one that changed since is not written at all, let alone started; the same
// file unchanged loads as any other.
TEST_F(HexUploadTest, ListedProgrammerThatChangedSinceTheCheckIsNotSent) {
    const std::string original = hex_file({{0, pattern(64, 2)}}, 0);
    const std::string path = files.write("p.hex", original);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::string name = path.substr(folder.size());
    std::string digest;
    int error = 0;
    ASSERT_TRUE(sha256_file(path, &digest, &error));
    expect_package_digests(line.log(), folder, {{name, digest}});

    files.write(name, original + "\n");  // a blank line more: still a good file
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 0);
    EXPECT_EQ(gos(), 0);
    const std::string reason =
        name + ": changed since the package check: its SHA-256 is not the one in SHA256SUMS";
    EXPECT_EQ(changed_package_file(line.log()), reason);
    EXPECT_NE(upload_log().find(reason + "\n"), std::string::npos) << upload_log();

    files.write(name, original);
    expect_package_digests(line.log(), folder, {{name, digest}});
    EXPECT_EQ(retry_start_go(line, path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(gos(), 1);
    EXPECT_EQ(changed_package_file(line.log()), "");
    expect_package_digests(line.log(), "", {});
}

class ReadNprgTest : public ScriptedTest {};

TEST_F(ReadNprgTest, ReadsOneLineUpToTheLimit) {
    const std::string path = files.write("l.hex", std::string(":0123\n:45\nxyz"));
    SentFile file(program_log());
    ASSERT_TRUE(file.open(path));
    char buffer[16] = {};
    EXPECT_EQ(read_nprg(file, buffer, 3, program_log()), 3);
    EXPECT_EQ(std::string(buffer, 3), ":01");
    EXPECT_EQ(read_nprg(file, buffer, 0, program_log()), 0);
    SentFile unopened(program_log());
    EXPECT_EQ(read_nprg(unopened, buffer, 16, program_log()), 0);
    EXPECT_EQ(read_nprg(file, buffer, 16, program_log()), 0);  // "23\n" does not start a record
    EXPECT_EQ(read_nprg(file, buffer, 16, program_log()), 4);
    EXPECT_EQ(std::string(buffer, 4), ":45\n");
    EXPECT_EQ(log.text(), "read_nprg: format error! \n");
}

}  // namespace
