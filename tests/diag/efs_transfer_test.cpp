// File contents to the emulated modem and back: chunking, read-back, progress and the image copy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "diag/efs.h"
#include "diag/efs_transfer.h"
#include "link/attempts.h"
#include "tests/diag/efs_support.h"
#include "tests/support/recording_progress.h"

namespace {

using efs_test::EmulatedModem;
using efs_test::pattern_bytes;
using efs_test::ScriptedDevice;

constexpr std::uint8_t kRead = 4;
constexpr std::uint8_t kWrite = 5;

class Transfer : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {
  protected:
    LogCapture log;
    TempDir dir;
    EmulatedModem modem;
};

TEST_P(Transfer, SendsInChunksAndVerifiesTheReadBack) {
    const auto [size, with_dialog] = GetParam();
    const auto data = pattern_bytes(size, 7);
    const std::string local = dir / "file.bin";
    efs_test::write_file(local, data);
    RecordingProgress dialog;
    DialogHandle handle_of_dialog = with_dialog ? &dialog : nullptr;
    int counter = 5;

    EfsHandle handle = {};
    ASSERT_EQ(create_efs_file("/home/file.bin", handle), 1);
    std::uint32_t sent = 99;
    ASSERT_EQ(try_write_efs_file(local.c_str(), handle, handle_of_dialog, &counter, &sent), 1);
    ASSERT_EQ(close_efs_file(handle), 1);

    EXPECT_EQ(sent, size);
    // Every file ends with a chunk shorter than 512 bytes, one without data when it must.
    EXPECT_EQ(modem.efs_requests(kWrite), static_cast<int>(size / 512 + 1));
    EXPECT_EQ(modem->efs_file("/home/file.bin"), data);
    EXPECT_EQ(get_efs_size("/home/file.bin"), size);

    ASSERT_EQ(open_efs_file("/home/file.bin", handle), 1);
    EXPECT_EQ(chk_efs_file(handle, local.c_str(), handle_of_dialog, &counter), 1);
    EXPECT_EQ(close_efs_file(handle), 1);
    EXPECT_EQ(modem.efs_requests(kRead), static_cast<int>(size / 512 + 1));

    // One tick per 100 KiB written and per 100 KiB read back, only with a dialog.
    const int ticks = with_dialog ? static_cast<int>(2 * (size / 102400)) : 0;
    EXPECT_EQ(static_cast<int>(dialog.positions().size()), ticks);
    EXPECT_EQ(counter, 5 + ticks);
    if (ticks > 0) {
        EXPECT_EQ(dialog.positions().front(), 5);
    }
    EXPECT_EQ(log.text(), "chk_efs_file: " + local + "\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Transfer,
                         ::testing::Combine(::testing::Values(0, 1000, 1024, 2 * 102400),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return "Bytes" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "WithDialog" : "WithoutDialog");
                         });

class ReadBack : public ::testing::Test {
  protected:
    // The local file holds data; the device file holds device_data.
    int check(const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>& device_data) {
        efs_test::write_file(local, data);
        if (!modem->efs_put_file("/home/f", device_data)) return -1;
        EfsHandle handle = {};
        if (!open_efs_file("/home/f", handle)) return -1;
        const int result = chk_efs_file(handle, local.c_str(), nullptr, nullptr);
        close_efs_file(handle);
        return result;
    }

    LogCapture log;
    TempDir dir;
    EmulatedModem modem;
    const std::string local = dir / "f.bin";
};

TEST_F(ReadBack, DeviceFileLongerThanLocalFails) {
    auto data = pattern_bytes(1000, 1);
    auto longer = data;
    longer.resize(1600, 0x55);

    EXPECT_EQ(check(data, longer), 0);

    // The second chunk (offset 0x200) gets 512 bytes where the local file has 488.
    EXPECT_EQ(modem.efs_requests(kRead), 1 + 10);
    EXPECT_EQ(log.count("chk_efs_file: length error on offset = 200\n"), 1);
}

TEST_F(ReadBack, DeviceFileShorterThanLocalPassesTheReadBack) {
    auto data = pattern_bytes(1000, 1);
    auto shorter = data;
    shorter.resize(512);

    // The size comparison every caller makes first is what catches this.
    EXPECT_EQ(check(data, shorter), 1);
}

TEST_F(ReadBack, ByteDifferingAtOffset2048IsLoggedInDecimal) {
    auto data = pattern_bytes(3000, 2);
    auto changed = data;
    changed[2048] ^= 0xFF;

    EXPECT_EQ(check(data, changed), 0);

    EXPECT_EQ(modem.efs_requests(kRead), 4 + 10);
    EXPECT_EQ(log.count("chk_efs_file: check rcv data error on offset = 2048\n"), 1);
}

TEST_F(ReadBack, MissingLocalFileFailsNamingTheFileAndTheSystemsReason) {
    EfsHandle handle = {1, 2, 3, 4};
    const std::string missing = dir / "none";

    EXPECT_EQ(chk_efs_file(handle, missing.c_str(), nullptr, nullptr), 0);
    std::uint32_t sent = 1;
    EXPECT_EQ(try_write_efs_file(missing.c_str(), handle, nullptr, nullptr, &sent), 0);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(log.text(), "chk_efs_file: " + missing + "\nchk_efs_file: cannot open " + missing +
                              ": No such file or directory\nwrite_efs_file: cannot open " +
                              missing + ": No such file or directory\n");
}

TEST_F(ReadBack, DroppedWriteAnswerIsRetried) {
    const auto data = pattern_bytes(3000, 3);
    efs_test::write_file(local, data);
    emu::Fault fault;
    fault.kind = emu::FaultKind::Drop;
    fault.command = 0x4B;
    fault.efs_command = kWrite;
    fault.nth = 3;
    modem->add_fault(fault);

    EfsHandle handle = {};
    ASSERT_EQ(create_efs_file("/home/f", handle), 1);
    EXPECT_EQ(write_efs_file(local.c_str(), handle, nullptr, nullptr), 3000u);
    close_efs_file(handle);

    EXPECT_EQ(modem->efs_file("/home/f"), data);
}

TEST_F(ReadBack, WriteThatNeverGetsAnswerFailsWithItsOffset) {
    efs_test::write_file(local, pattern_bytes(1500, 4));
    emu::Fault fault;
    fault.kind = emu::FaultKind::BadCrc;
    fault.command = 0x4B;
    fault.efs_command = kWrite;
    fault.nth = 2;
    fault.times = 0;
    modem->add_fault(fault);

    EfsHandle handle = {};
    ASSERT_EQ(create_efs_file("/home/f", handle), 1);
    std::uint32_t sent = 9;
    EXPECT_EQ(try_write_efs_file(local.c_str(), handle, nullptr, nullptr, &sent), 0);
    EXPECT_EQ(sent, 0u);

    EXPECT_EQ(modem.efs_requests(kWrite), 1 + 10);
    EXPECT_EQ(log.count("write_efs_file: chk crc error! offset = 200\n"), 1);
}

TEST_F(ReadBack, FileBeyondWhatOffsetsAddressIsRefusedBeforeWriting) {
    {
        efs_test::write_file(local, {});
        ASSERT_EQ(::truncate(local.c_str(), (1LL << 32) + 1), 0);  // sparse: takes no room
    }
    EfsHandle handle = {};
    ASSERT_EQ(create_efs_file("/home/f", handle), 1);

    EXPECT_EQ(write_efs_file(local.c_str(), handle, nullptr, nullptr), 0u);

    EXPECT_EQ(modem.efs_requests(kWrite), 0);
    EXPECT_EQ(log.count("write_efs_file: file too large error! " + local + "\n"), 1);
}

// Answers the emulator never gives, from a scripted device that answers every read with
// `count` and `data_bytes` bytes of data.
std::optional<std::vector<std::uint8_t>> read_answer(const std::vector<std::uint8_t>& request,
                                                     std::int32_t count, std::size_t data_bytes,
                                                     std::uint32_t error) {
    if (request.size() != 16 || request[2] != kRead) return std::nullopt;
    std::vector<std::uint8_t> answer(20 + data_bytes, 0);
    answer[0] = 0x4B;
    answer[1] = 0x13;
    answer[2] = kRead;
    std::copy(request.begin() + 4, request.begin() + 16, answer.begin() + 4);
    put_le32(&answer[12], static_cast<std::uint32_t>(count));
    put_le32(&answer[16], error);
    return answer;
}

struct OddRead {
    const char* name;
    std::int32_t count;
    std::size_t data_bytes;
    std::uint32_t error;
    int result;
    const char* line;
};

class OddReadAnswer : public ::testing::TestWithParam<OddRead> {};

TEST_P(OddReadAnswer, IsJudgedWithoutReadingPastTheAnswer) {
    const OddRead odd = GetParam();
    LogCapture log;
    TempDir dir;
    const std::string local = dir / "f.bin";
    efs_test::write_file(local, std::vector<std::uint8_t>(2000, 0));
    ScriptedDevice device([&](const std::vector<std::uint8_t>& request) {
        return read_answer(request, odd.count, odd.data_bytes, odd.error);
    });
    ASSERT_GT(efs_test::open_node(device.node()), 0);
    const EfsHandle handle = {9, 9, 9, 9};

    EXPECT_EQ(chk_efs_file(handle, local.c_str(), nullptr, nullptr), odd.result);

    EXPECT_EQ(device.requests(), odd.result ? 1 : 10);
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

class CopyIso : public ::testing::Test {
  protected:
    std::string folder() const { return dir.path() + "/"; }

    LogCapture log;
    TempDir dir;
    EmulatedModem modem;
    RecordingProgress dialog;
    int counter = 17;
};

TEST_F(CopyIso, CopiesAndVerifiesTheImage) {
    const auto image = pattern_bytes(250000, 5);
    efs_test::write_file(dir / "image.iso", image);

    EXPECT_EQ(copy_iso(folder().c_str(), &dialog, &counter), 1);

    EXPECT_EQ(modem->efs_file("/image.iso"), image);
    EXPECT_EQ(modem->efs_open_handles(), 0);
    // The bar goes on from where it stood: two ticks writing and two reading back.
    EXPECT_EQ(dialog.positions(), (std::vector<int>{17, 18, 19, 20}));
    EXPECT_EQ(dialog.statuses(), std::vector<std::string>{"Verifying iso file..."});
    EXPECT_EQ(log.text(),
              "create iso file\ncopy iso file\nfinish copy iso file\nget size of iso file\n"
              "check iso file\nchk_efs_file: " +
                  dir / "image.iso" + "\n");
}

TEST_F(CopyIso, MissingImageIsNoError) {
    EXPECT_EQ(copy_iso(folder().c_str(), nullptr, &counter), 1);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(counter, 17) << "without a dialog the counter stays";
    EXPECT_EQ(log.text(), "iso not found\n");
}

TEST_F(CopyIso, ImageThatIsThereButCannotBeOpenedFailsInsteadOfBeingSkipped) {
    // A link to itself: the name is there, opening it fails (and does so even for root).
    std::filesystem::create_symlink("image.iso", std::filesystem::path(dir / "image.iso"));

    EXPECT_EQ(copy_iso(folder().c_str(), nullptr, &counter), 0);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(log.text(), "copy_iso: cannot open " + (dir / "image.iso") +
                              ": Too many levels of symbolic links\n");
}

TEST_F(CopyIso, EmptyImageIsAccepted) {
    efs_test::write_file(dir / "image.iso", {});

    EXPECT_EQ(copy_iso(folder().c_str(), nullptr, &counter), 1);

    EXPECT_EQ(modem->efs_file("/image.iso"), std::vector<std::uint8_t>{});
}

TEST_F(CopyIso, WriteThatNeverReachedTheDeviceFails) {
    // An empty device file beside a failed write must not pass as an empty image.
    efs_test::write_file(dir / "image.iso", pattern_bytes(1000, 6));
    emu::Fault fault;
    fault.kind = emu::FaultKind::Drop;
    fault.command = 0x4B;
    fault.efs_command = kWrite;
    fault.times = 0;
    modem->add_fault(fault);

    EXPECT_EQ(copy_iso(folder().c_str(), nullptr, &counter), 0);

    EXPECT_EQ(modem.efs_requests(kRead), 0);
    EXPECT_EQ(log.count("write_efs_file: send cmd error! offset = 0\n") +
                  log.count("write_efs_file: chk crc error! offset = 0\n"),
              1);
    EXPECT_EQ(log.count("error: copy_iso write_efs_file fail\n"), 1);
}

TEST_F(CopyIso, ImageBeyondWhatOffsetsAddressIsRefusedBeforeCreating) {
    efs_test::write_file(dir / "image.iso", {});
    ASSERT_EQ(::truncate((dir / "image.iso").c_str(), 1LL << 32), 0);

    EXPECT_EQ(copy_iso(folder().c_str(), nullptr, &counter), 0);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(modem->efs_type("/image.iso"), emu::EfsType::None);
}

}  // namespace
