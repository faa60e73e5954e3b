// File contents to a scripted device and back: chunking, read-back judgement, retries, progress,
// and the image copy's decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "diag/efs.h"
#include "diag/efs_transfer.h"
#include "link/attempts.h"
#include "tests/support/environment.h"
#include "tests/support/protocol_data.h"
#include "tests/support/recording_progress.h"
#include "tests/support/scripted_test.h"

namespace {

constexpr std::uint8_t kOpen = 2;
constexpr std::uint8_t kClose = 3;
constexpr std::uint8_t kRead = 4;
constexpr std::uint8_t kWrite = 5;
constexpr std::uint8_t kStat = 15;

// A device holding one file: writes land in it at their offset, reads answer from it, stat gives
// its size, every other request is accepted.
class OneFileDevice {
  public:
    Reply operator()(const Bytes& request) {
        const std::uint8_t code = request[2];
        Bytes packet(request.begin(), request.begin() + 4);
        if (code == kWrite) {
            const std::uint32_t offset = get_le32(&request[8]);
            if (file.size() < offset + request.size() - 12)
                file.resize(offset + request.size() - 12);
            std::copy(request.begin() + 12, request.end(), file.begin() + offset);
            packet.resize(20, 0);
        } else if (code == kRead) {
            const std::uint32_t count = get_le32(&request[8]);
            const std::uint32_t offset = get_le32(&request[12]);
            const std::uint32_t left = offset < file.size() ? file.size() - offset : 0;
            const std::uint32_t n = std::min(count, left);
            packet.resize(20, 0);
            put_le32(&packet[12], n);
            packet.insert(packet.end(), file.begin() + offset, file.begin() + offset + n);
        } else if (code == kStat) {
            packet.resize(40, 0);
            put_le32(&packet[12], static_cast<std::uint32_t>(file.size()));
        } else {
            packet.resize(12, 0);  // open: handle 0, error 0; close and others: error 0
        }
        return answer(packet);
    }

    Bytes file;
};

class Transfer : public ScriptedTest,
                 public ::testing::WithParamInterface<std::tuple<std::size_t, bool>> {};

TEST_P(Transfer, SendsInChunksAndVerifiesTheReadBack) {
    const auto [size, with_dialog] = GetParam();
    const Bytes data = pattern(size, 7);
    const std::string local = files.write("file.bin", data);
    OneFileDevice store;
    device().answer_with(std::ref(store));
    RecordingProgress dialog;
    DialogHandle handle_of_dialog = with_dialog ? &dialog : nullptr;
    int counter = 5;
    const EfsHandle handle = {9, 8, 7, 6};

    std::uint32_t sent = 99;
    ASSERT_EQ(try_write_efs_file(line, local.c_str(), handle, handle_of_dialog, &counter, &sent),
              1);
    EXPECT_EQ(sent, size);
    EXPECT_EQ(store.file, data);
    // Every file ends with a chunk shorter than 512 bytes, one without data when it must; each
    // write names the handle and its offset.
    const int chunks = static_cast<int>(size / 512 + 1);
    ASSERT_EQ(requests(), chunks);
    for (int i = 0; i < chunks; ++i) {
        const Bytes& request = device().requests()[i];
        EXPECT_EQ(Bytes(request.begin(), request.begin() + 8),
                  (Bytes{0x4B, 0x13, kWrite, 0, 9, 8, 7, 6}));
        EXPECT_EQ(get_le32(&request[8]), static_cast<std::uint32_t>(512 * i));
    }
    EXPECT_EQ(chk_efs_file(line, handle, local.c_str(), handle_of_dialog, &counter), 1);
    EXPECT_EQ(count_code(kRead, 2), chunks);
    EXPECT_EQ(device().requests().back(),
              (Bytes{0x4B, 0x13, kRead, 0, 9, 8, 7, 6, 0x00, 0x02, 0, 0,
                     static_cast<std::uint8_t>(512 * (chunks - 1)),
                     static_cast<std::uint8_t>((512 * (chunks - 1)) >> 8),
                     static_cast<std::uint8_t>((512 * (chunks - 1)) >> 16), 0}));

    // Only with a dialog: the counter moves on by every chunk's cost both ways, and the bar shows
    // it per 100 KiB written and read back and at the end of each transfer.
    const int shown = with_dialog ? static_cast<int>(2 * (size / 102400)) + 2 : 0;
    const std::vector<int> positions = dialog.positions();
    EXPECT_EQ(static_cast<int>(positions.size()), shown);
    EXPECT_EQ(counter, with_dialog ? 5 + 2 * transfer_cost(static_cast<long long>(size)) : 5);
    if (shown > 0) {
        EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
        EXPECT_EQ(positions.back(), counter);
    }
    // Each transfer ends with a pause of a millisecond.
    EXPECT_EQ(waited_ms(), 2);
    EXPECT_EQ(log.text(), "chk_efs_file: " + local + "\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Transfer,
                         ::testing::Combine(::testing::Values(0, 1000, 1024, 2 * 102400),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return "Bytes" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "WithDialog" : "WithoutDialog");
                         });

class ReadBack : public ScriptedTest {
  protected:
    // The local file holds data; the device file holds device_data.
    int check(const Bytes& data, const Bytes& device_data) {
        files.write("f.bin", data);
        store.file = device_data;
        device().answer_with(std::ref(store));
        return chk_efs_file(line, handle, local.c_str(), nullptr, nullptr);
    }

    OneFileDevice store;
    const EfsHandle handle = {1, 2, 3, 4};
    const std::string local = files / "f.bin";
};

TEST_F(ReadBack, DeviceFileLongerThanLocalFails) {
    auto data = pattern(1000, 1);
    auto longer = data;
    longer.resize(1600, 0x55);
    EXPECT_EQ(check(data, longer), 0);
    // The second chunk (offset 0x200) gets 512 bytes where the local file has 488.
    EXPECT_EQ(requests(), 1 + 10);
    EXPECT_EQ(log.text(),
              "chk_efs_file: " + local + "\nchk_efs_file: length error on offset = 200\n");
}

TEST_F(ReadBack, DeviceFileShorterThanLocalPassesTheReadBack) {
    auto data = pattern(1000, 1);
    auto shorter = data;
    shorter.resize(512);
    // The size comparison every caller makes first is what catches this.
    EXPECT_EQ(check(data, shorter), 1);
}

TEST_F(ReadBack, ByteDifferingAtOffset2048IsLoggedInDecimal) {
    auto data = pattern(3000, 2);
    auto changed = data;
    changed[2048] ^= 0xFF;
    EXPECT_EQ(check(data, changed), 0);
    EXPECT_EQ(requests(), 4 + 10);
    EXPECT_EQ(log.count("chk_efs_file: check rcv data error on offset = 2048\n"), 1);
}

TEST_F(ReadBack, MissingLocalFileFailsNamingTheFileAndTheSystemsReason) {
    const std::string missing = files / "none";
    EXPECT_EQ(chk_efs_file(line, handle, missing.c_str(), nullptr, nullptr), 0);
    std::uint32_t sent = 1;
    EXPECT_EQ(try_write_efs_file(line, missing.c_str(), handle, nullptr, nullptr, &sent), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "chk_efs_file: " + missing + "\nchk_efs_file: cannot open " + missing +
                              ": No such file or directory\nwrite_efs_file: cannot open " +
                              missing + ": No such file or directory\n");
}

TEST_F(ReadBack, UnansweredWriteIsRetriedWithTheSameChunk) {
    const Bytes data = pattern(3000, 3);
    files.write("f.bin", data);
    int writes = 0;
    device().answer_with(
        [&](const Bytes& request) { return ++writes == 3 ? silence() : store(request); });
    EXPECT_EQ(write_efs_file(line, local.c_str(), handle, nullptr, nullptr), 3000u);
    EXPECT_EQ(store.file, data);
    EXPECT_EQ(requests(), 7);
    EXPECT_EQ(device().requests()[2], device().requests()[3]);
    EXPECT_EQ(waited_ms(), 500 + 1);
}

struct WriteFailure {
    const char* name;
    Reply reply;
    int requests;
    std::string line;
};
void PrintTo(const WriteFailure& x, std::ostream* os) {
    *os << x.name;
}

class WriteNeverAnswered : public ReadBack, public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(WriteNeverAnswered, FailsWithItsOffset) {
    files.write("f.bin", pattern(1500, 4));
    int writes = 0;
    device().answer_with(
        [&](const Bytes& request) { return ++writes == 1 ? store(request) : GetParam().reply; });
    std::uint32_t sent = 9;
    EXPECT_EQ(try_write_efs_file(line, local.c_str(), handle, nullptr, nullptr, &sent), 0);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(requests(), 1 + GetParam().requests);
    EXPECT_EQ(log.count(GetParam().line), 1) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WriteNeverAnswered,
    ::testing::Values(WriteFailure{"BadCrc", raw(frame_bad_crc({0x4B, 0x13, kWrite, 0})), 10,
                                   "write_efs_file: chk crc error! offset = 200\n"},
                      // The bare CRC of an empty packet answers nothing.
                      WriteFailure{"EmptyPacket", raw({0x00, 0x00, 0x7E}), 10,
                                   "write_efs_file: chk crc error! offset = 200\n"},
                      WriteFailure{"Silence", silence(), 10,
                                   "write_efs_file: chk crc error! offset = 200\n"},
                      WriteFailure{"PortRaises", raise_error(EIO), 100,
                                   "write_efs_file: send cmd error! offset = 200\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadBack, FileBeyondWhatOffsetsAddressIsRefusedBeforeWriting) {
    files.write("f.bin", Bytes{});
    std::filesystem::resize_file(local, (1ULL << 32) + 1);  // sparse: takes no room
    EXPECT_EQ(write_efs_file(line, local.c_str(), handle, nullptr, nullptr), 0u);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "write_efs_file: file too large error! " + local + "\n");
}

// Read answers the device should never give: count and data bytes, and the error code.
struct OddRead {
    const char* name;
    std::int32_t count;
    std::size_t data_bytes;
    std::uint32_t error;
    int result;
    const char* line;
};
void PrintTo(const OddRead& x, std::ostream* os) {
    *os << x.name;
}

class OddReadAnswer : public ReadBack, public ::testing::WithParamInterface<OddRead> {};

TEST_P(OddReadAnswer, IsJudgedWithoutReadingPastTheAnswer) {
    const OddRead odd = GetParam();
    files.write("f.bin", Bytes(2000, 0));
    device().answer_with([&](const Bytes& request) {
        Bytes packet(request.begin(), request.begin() + 16);
        packet.resize(20 + odd.data_bytes, 0);
        put_le32(&packet[12], static_cast<std::uint32_t>(odd.count));
        put_le32(&packet[16], odd.error);
        return answer(packet);
    });
    EXPECT_EQ(chk_efs_file(line, handle, local.c_str(), nullptr, nullptr), odd.result);
    EXPECT_EQ(requests(), odd.result ? 1 : 10);
    EXPECT_EQ(log.text(), "chk_efs_file: " + local + "\n" + odd.line);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, OddReadAnswer,
    ::testing::Values(
        // A count of 0 ends the check whatever the error code says.
        OddRead{"ZeroCountWithErrorCode", 0, 0, 5, 1, ""},
        // A negative count is a device that cannot read, not the end of its file.
        OddRead{"NegativeCount", -1, 0, 0, 0, "chk_efs_file: recv data error on offset = 0\n"},
        OddRead{"ErrorCode", 100, 100, 5, 0, "chk_efs_file: recv data error on offset = 0\n"},
        // More than was asked for, or more than the answer carries.
        OddRead{"CountAbove512", 600, 600, 0, 0, "chk_efs_file: recv data error on offset = 0\n"},
        OddRead{"CountPastTheAnswer", 400, 100, 0, 0,
                "chk_efs_file: recv data error on offset = 0\n"},
        OddRead{"HugeCount", 0x7FFFFFFF, 0, 0, 0, "chk_efs_file: recv data error on offset = 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class ReadBackFailure : public ReadBack, public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(ReadBackFailure, FailsWithTheKindAndOffset) {
    files.write("f.bin", pattern(600, 4));
    store.file = pattern(600, 4);
    int reads = 0;
    device().answer_with(
        [&](const Bytes& request) { return ++reads == 1 ? store(request) : GetParam().reply; });
    EXPECT_EQ(chk_efs_file(line, handle, local.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 1 + GetParam().requests);
    EXPECT_EQ(log.count(GetParam().line), 1) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadBackFailure,
    ::testing::Values(WriteFailure{"BadCrc", raw(frame_bad_crc({0x4B, 0x13, kRead, 0})), 10,
                                   "chk_efs_file: check_buf error on offset = 200\n"},
                      // The bare CRC of an empty packet answers nothing.
                      WriteFailure{"EmptyPacket", raw({0x00, 0x00, 0x7E}), 10,
                                   "chk_efs_file: check_buf error on offset = 200\n"},
                      WriteFailure{"Silence", silence(), 10,
                                   "chk_efs_file: check_buf error on offset = 200\n"},
                      WriteFailure{"OtherAnswer", answer(Bytes(24, 0x11)), 10,
                                   "chk_efs_file: header error on offset = 200\n"},
                      WriteFailure{"PortRaises", raise_error(EIO), 100,
                                   "chk_efs_file: apply_diag_cmd error on offset = 200\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the image copy ----------------------------------------------------------------------------

class CopyIso : public ScriptedTest {
  protected:
    std::string folder() const { return files.path() + "/"; }

    OneFileDevice store;
    RecordingProgress dialog;
    int counter = 17;
};

TEST_F(CopyIso, CopiesAndVerifiesTheImage) {
    const Bytes image = pattern(250000, 5);
    files.write("image.iso", image);
    device().answer_with(std::ref(store));

    EXPECT_EQ(copy_iso(line, folder().c_str(), &dialog, &counter), 1);

    EXPECT_EQ(store.file, image);
    EXPECT_EQ(count_code(kOpen, 2), 2);
    EXPECT_EQ(count_code(kClose, 2), 2);
    EXPECT_EQ(device().requests()[0],
              (Bytes{0x4B, 0x13, kOpen, 0,   0x41, 0x02, 0,   0,   0xB6, 0x01, 0, 0,
                     '/',  'i',  'm',   'a', 'g',  'e',  '.', 'i', 's',  'o',  0}));
    // The bar goes on from where it stood, shown at 100 KiB, 200 KiB and the end both ways; the
    // first 100 KiB are 200 chunks.
    const std::vector<int> positions = dialog.positions();
    ASSERT_EQ(positions.size(), 6u);
    EXPECT_EQ(positions.front(), 17 + 102400 + 200 * kExchangeCost);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 17 + 2 * transfer_cost(250000));
    EXPECT_EQ(counter, positions.back());
    EXPECT_EQ(dialog.statuses(), std::vector<std::string>{"Verifying iso file..."});
    EXPECT_EQ(log.text(),
              "create iso file\ncopy iso file\nfinish copy iso file\nget size of iso file\n"
              "check iso file\nchk_efs_file: " +
                  files / "image.iso" + "\n");
}

TEST_F(CopyIso, MissingImageIsNoError) {
    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 1);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(counter, 17) << "without a dialog the counter stays";
    EXPECT_EQ(log.text(), "iso not found\n");
}

TEST_F(CopyIso, ImageThatIsThereButCannotBeOpenedFailsInsteadOfBeingSkipped) {
    make_unopenable(files / "image.iso");
    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 0);
    EXPECT_EQ(requests(), 0);
    const std::string text = log.text();
    EXPECT_TRUE(text.starts_with("copy_iso: cannot open " + (files / "image.iso") + ": ")) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

TEST_F(CopyIso, EmptyImageIsAccepted) {
    files.write("image.iso", Bytes{});
    device().answer_with(std::ref(store));
    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 1);
    EXPECT_EQ(count_code(kWrite, 2), 1) << "one write without data";
}

TEST_F(CopyIso, WriteThatNeverReachedTheDeviceFails) {
    // An empty device file beside a failed write must not pass as an empty image.
    files.write("image.iso", pattern(1000, 6));
    device().answer_with(
        [&](const Bytes& request) { return request[2] == kWrite ? silence() : store(request); });

    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 0);

    EXPECT_EQ(count_code(kRead, 2), 0);
    EXPECT_EQ(count_code(kClose, 2), 1) << "the handle is closed all the same";
    EXPECT_EQ(log.count("write_efs_file: chk crc error! offset = 0\n"), 1);
    EXPECT_EQ(log.count("error: copy_iso write_efs_file fail\n"), 1);
}

TEST_F(CopyIso, HandleTheDeviceKeepsFailsTheCopy) {
    files.write("image.iso", pattern(1000, 6));
    device().answer_with([&](const Bytes& request) {
        if (request[2] != kClose) return store(request);
        return answer({0x4B, 0x13, kClose, 0, 1, 0, 0, 0});
    });
    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 0);
    EXPECT_EQ(count_code(kStat, 2), 0);
    EXPECT_TRUE(log.text().ends_with("error: copy_iso, close file fail\n")) << log.text();
}

TEST_F(CopyIso, ImageBeyondWhatOffsetsAddressIsRefusedBeforeCreating) {
    files.write("image.iso", Bytes{});
    std::filesystem::resize_file(files / "image.iso", 1ULL << 32);
    EXPECT_EQ(copy_iso(line, folder().c_str(), nullptr, &counter), 0);
    EXPECT_EQ(requests(), 0);
}

}  // namespace
