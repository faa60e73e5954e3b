// Image streaming on a scripted flash programmer: blocks and offsets, progress, refused and
// unanswered blocks, and the close that ends every image.
#include "stream/image_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "link/attempts.h"
#include "tests/support/protocol_data.h"
#include "tests/support/recording_progress.h"
#include "tests/support/scripted_test.h"

namespace {

constexpr std::uint8_t kStreamWrite = 0x07;
constexpr std::uint8_t kClose = 0x15;

// A programmer that takes every block and confirms the close.
Reply programmer(const Bytes& request) {
    return request[0] == kClose ? answer({0x16}) : answer({0x08, 0, 0, 0, 0}, true);
}

class ImageStreamTest : public ScriptedTest {
  protected:
    ImageStreamTest() { device().answer_with(programmer); }

    int writes() const { return count_code(kStreamWrite); }
    int closes() const { return count_code(kClose); }
    // The image the stream writes put together at their offsets; every block but the last holds
    // 512 bytes.
    Bytes flash() {
        Bytes image;
        for (const Bytes& r : device().requests()) {
            if (r[0] != kStreamWrite) continue;
            const std::uint32_t offset = get_le32(&r[1]);
            EXPECT_EQ(offset % 512, 0u);
            if (image.size() < offset + r.size() - 5) image.resize(offset + r.size() - 5);
            std::copy(r.begin() + 5, r.end(), image.begin() + offset);
        }
        return image;
    }
};

struct SizeCase {
    std::size_t size;
    int requests;  // stream writes, the closing empty block included
    std::vector<std::string> statuses;
};
void PrintTo(const SizeCase& x, std::ostream* os) {
    *os << x.size << " bytes";
}

class ImageSizes : public ImageStreamTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ImageSizes, FlashHoldsTheFileWithTicksEvery153600Bytes) {
    const Bytes image = pattern(GetParam().size, 7);
    const std::string path = files.write("qcsbl.mbn", image);
    RecordingProgress progress;
    int counter = 20;

    EXPECT_EQ(dl_dload_amss(line, path.c_str(), &progress, &counter), 1);
    EXPECT_EQ(flash(), image);
    EXPECT_EQ(writes(), GetParam().requests);
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(device().requests().back(), Bytes{kClose});

    // Every block moves the counter on by its cost; the bar shows it per 300 blocks and at the
    // end.
    const int shows = static_cast<int>(GetParam().size / 153600);
    std::vector<int> positions;
    for (int i = 1; i <= shows; ++i)
        positions.push_back(20 + i * 300 * exchange_cost(512));
    const int end = 20 + static_cast<int>(transfer_cost(static_cast<long long>(GetParam().size)));
    positions.push_back(end);
    EXPECT_EQ(progress.positions(), positions);
    EXPECT_EQ(counter, end);
    // The status names the image being sent, with the share of it sent, up to 100% at its end.
    EXPECT_EQ(progress.statuses(), GetParam().statuses);
    EXPECT_EQ(log.text(), "Download OK and close now\nClose handle ok\n");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageSizes,
    ::testing::Values(SizeCase{0, 1, {}}, SizeCase{1000, 2, {}}, SizeCase{1024, 3, {}},
                      SizeCase{153600 * 2 + 7,
                               601,
                               {"Downloading qcsbl.mbn...49%", "Downloading qcsbl.mbn...99%",
                                "Downloading qcsbl.mbn...100%"}}),
    [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

TEST_F(ImageStreamTest, WithoutADialogNothingIsTicked) {
    const std::string path = files.write("amss.mbn", pattern(153600, 8));
    int counter = 5;
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, &counter), 1);
    EXPECT_EQ(counter, 5);
    EXPECT_EQ(writes(), 301);
}

TEST_F(ImageStreamTest, ImageOfAWhole153600BytesTicksOnce) {
    const std::string path = files.write("amss.mbn", pattern(153600, 8));
    RecordingProgress progress;
    int counter = 1;
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), &progress, &counter), 1);
    EXPECT_EQ(progress.positions(),
              (std::vector<int>{1 + 300 * exchange_cost(512), 1 + transfer_cost(153600)}));
    EXPECT_EQ(progress.statuses(), (std::vector<std::string>{"Downloading amss.mbn...100%"}));
}

TEST_F(ImageStreamTest, BlockRefusedTenTimesEndsTheImageAndClosesIt) {
    // The second block is answered with a log message every time; the read after it finds nothing.
    int blocks = 0;
    device().answer_with([&](const Bytes& request) {
        if (request[0] == kStreamWrite && ++blocks >= 2) return answer({0x0E, 'b', 'a', 'd', 0});
        return programmer(request);
    });
    const std::string path = files.write("oemsbl.mbn", pattern(2000, 9));
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 11);
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(waited_ms(), 10 * 500);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "error ack1\n"), 10);
    EXPECT_EQ(count_of(text, "error ack2\n"), 10);
    EXPECT_TRUE(
        in_order(text, {"error ack1\n", "dl_dload_amss: recv bad cmd error! \n",
                        "Download fail on addr 0x200 and close now\n", "Close handle ok\n"}))
        << text.substr(text.size() - 300);
    // Each dump is the whole receive buffer, the answer first.
    const std::size_t first = text.find("error ack1\n") + 11;
    const std::string dump = text.substr(first, text.find('\n', first) - first);
    EXPECT_EQ(count_of(dump, "0x"), 20000);
    EXPECT_TRUE(dump.starts_with("0xe 0x62 0x61 0x64 0x0 ")) << dump.substr(0, 40);
}

// Only the bytes a read wrote are cleared again before the next attempt: none of a long answer may
// outlive it into what a later, empty read shows.
TEST_F(ImageStreamTest, EmptyReadAfterALongAnswerShowsACleanBuffer) {
    int tries = 0;
    device().answer_with([&](const Bytes& request) {
        const bool second_block = request[0] == kStreamWrite && get_le32(&request[1]) == 512;
        if (!second_block) return programmer(request);
        return ++tries == 1 ? answer(Bytes(300, 0x0D)) : silence();
    });
    const std::string path = files.write("amss.mbn", pattern(2000, 9));
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    const std::string text = log.text();
    ASSERT_EQ(count_of(text, "error ack1\n"), 10);
    const std::size_t second = text.find("error ack1\n", text.find("error ack1\n") + 1) + 11;
    const std::string dump = text.substr(second, text.find('\n', second) - second);
    EXPECT_EQ(count_of(dump, "0x0 "), 20000) << dump.substr(0, 40);
}

TEST_F(ImageStreamTest, BlockWrittenAfterALogMessageIsStillSentAgain) {
    // The first block's answer comes after a log message, which the further read takes.
    device().answer_with([&, first = true](const Bytes& request) mutable {
        if (first) {
            first = false;
            return Reply{{frame({0x0E, 'h', 'i', 0}), frame({0x08, 0, 0, 0, 0}, true)}};
        }
        return programmer(request);
    });
    const Bytes image = pattern(1500, 10);
    const std::string path = files.write("qcsbl.mbn", image);
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(writes(), 4);
    EXPECT_EQ(device().requests()[0], device().requests()[1]);
    EXPECT_EQ(flash(), image);
    EXPECT_EQ(count_of(log.text(), "error ack1\n"), 1);
    EXPECT_EQ(count_of(log.text(), "error ack2\n"), 1);
    EXPECT_EQ(waited_ms(), 0);
}

struct BlockFailure {
    const char* name;
    Reply reply;
    long long waited_ms;
    std::string line;
};
void PrintTo(const BlockFailure& x, std::ostream* os) {
    *os << x.name;
}

class BlockFailureTest : public ImageStreamTest,
                         public ::testing::WithParamInterface<BlockFailure> {};

TEST_P(BlockFailureTest, TenFailedAttemptsEndTheImageAtTheBlocksOffset) {
    device().answer_with([](const Bytes& request) {
        const bool second_block = request[0] == kStreamWrite && get_le32(&request[1]) == 512;
        return second_block ? GetParam().reply : programmer(request);
    });
    const std::string path = files.write("amss.mbn", pattern(2000, 9));
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 11);
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(waited_ms(), GetParam().waited_ms);
    EXPECT_TRUE(in_order(
        log.text(),
        {GetParam().line, "Download fail on addr 0x200 and close now\n", "Close handle ok\n"}))
        << log.text().substr(0, 300);
}

INSTANTIATE_TEST_SUITE_P(Answers, BlockFailureTest,
                         ::testing::Values(BlockFailure{"Silence", silence(), 10 * 500,
                                                        "dl_dload_amss: recv bad cmd error! \n"},
                                           BlockFailure{"OtherAnswer", answer({0x1C, 0}, true), 0,
                                                        "dl_dload_amss: recv bad cmd error! \n"},
                                           BlockFailure{"PortRaises", raise_error(EIO), 0,
                                                        "dl_dload_amss: send cmd error! \n"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every block taken but the close never confirmed: the next open would leave the image
// unfinished, and it once counted as written.
TEST_F(ImageStreamTest, ImageWhoseCloseIsNeverConfirmedIsNotWritten) {
    device().answer_with([](const Bytes& request) {
        return request[0] == kClose ? silence() : programmer(request);
    });
    const std::string path = files.write("amss.mbn", pattern(1000, 12));
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 2);
    EXPECT_EQ(closes(), 10);
    EXPECT_TRUE(in_order(log.text(), {"Download OK and close now\n", "Close handle fail\n"}))
        << log.text();
}

TEST_F(ImageStreamTest, MissingFileSendsNothingAndSaysWhy) {
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "dl_dload_amss: cannot open " + path + ": No such file or directory\n");
}

TEST_F(ImageStreamTest, ImageBeyondThe32BitOffsetIsRefusedBeforeSending) {
    const std::string path = files.path() + "/huge.mbn";
    files.write("huge.mbn", Bytes{});
    std::error_code error;
    std::filesystem::resize_file(path, 0x100000000ull, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "dl_dload_amss: image larger than 4 GiB error! \n");
}

TEST_F(ImageStreamTest, LineDyingInTheFurtherReadFailsTheImage) {
    device().script({hang_up(answer({0x0E}))});
    const std::string path = files.write("amss.mbn", pattern(100, 11));
    EXPECT_EQ(dl_dload_amss(line, path.c_str(), nullptr, nullptr), 0);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "error ack1\n"), 1);
    EXPECT_EQ(count_of(text, "error ack2\n"), 0);
    EXPECT_TRUE(in_order(
        text, {"dl_dload_amss: send cmd error! \n", "Download fail on addr 0x0 and close now\n",
               "send dl close handle: send dl cmd error! \n"}))
        << text.substr(text.size() - 300);
}

}  // namespace
