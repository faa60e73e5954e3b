#include "stream/image_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "link/serial_port.h"
#include "stream/stream_commands.h"
#include "tests/support/protocol_support.h"
#include "tests/support/scripted_device.h"
#include "tests/support/recording_progress.h"

namespace {

using emu::Mode;

constexpr int kImageType = 3;

struct SizeCase {
    std::size_t size;
    int requests;  // stream writes, the closing empty block included
    std::vector<std::string> statuses;
};
void PrintTo(const SizeCase& x, std::ostream* os) {
    *os << x.size << " bytes";
}

class ImageStreamTest : public ProtocolTest, public ::testing::WithParamInterface<SizeCase> {
  protected:
    emu::Emulator& opened(emu::Options options = {}) {
        auto& device = this->device(Mode::Stream, options);
        EXPECT_EQ(send_multi_image_open(nullptr, kImageType), 1);
        return device;
    }
    int writes() const { return emulator->request_count(Mode::Stream, 0x07); }
    int closes() const { return emulator->request_count(Mode::Stream, 0x15); }
};

TEST_P(ImageStreamTest, FlashHoldsTheFileWithTicksEvery153600Bytes) {
    const Bytes image = pattern(GetParam().size, 7);
    const std::string path = files.write("qcsbl.mbn", image);
    auto& device = opened();
    RecordingProgress progress;
    int counter = 20;

    EXPECT_EQ(dl_dload_amss(path.c_str(), &progress, &counter), 1);
    ASSERT_TRUE(device.flash_image(kImageType).has_value());
    EXPECT_EQ(device.flash_image(kImageType)->data, image);
    EXPECT_TRUE(device.flash_image(kImageType)->closed);
    EXPECT_EQ(writes(), GetParam().requests);
    EXPECT_EQ(closes(), 1);

    const int ticks = static_cast<int>(GetParam().size / 153600);
    std::vector<int> positions;
    for (int i = 0; i < ticks; ++i)
        positions.push_back(20 + i);
    EXPECT_EQ(progress.positions(), positions);
    EXPECT_EQ(counter, 20 + ticks);
    // The status names the image being sent, with the share of it sent, up to 100% at its end.
    EXPECT_EQ(progress.statuses(), GetParam().statuses);
    EXPECT_TRUE(log.text().ends_with("Download OK and close now\nClose handle ok\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageStreamTest,
    ::testing::Values(SizeCase{0, 1, {}}, SizeCase{1000, 2, {}}, SizeCase{1024, 3, {}},
                      SizeCase{153600 * 2 + 7,
                               601,
                               {"Downloading qcsbl.mbn...49%", "Downloading qcsbl.mbn...99%",
                                "Downloading qcsbl.mbn...100%"}}),
    [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

class ImageStreamFailureTest : public ImageStreamTest {};

TEST_F(ImageStreamFailureTest, WithoutADialogNothingIsTicked) {
    const std::string path = files.write("amss.mbn", pattern(153600, 8));
    opened();
    int counter = 5;
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, &counter), 1);
    EXPECT_EQ(counter, 5);
    EXPECT_EQ(writes(), 301);
}

TEST_F(ImageStreamFailureTest, ImageOfAWhole153600BytesTicksOnce) {
    const std::string path = files.write("amss.mbn", pattern(153600, 8));
    opened();
    RecordingProgress progress;
    int counter = 1;
    EXPECT_EQ(dl_dload_amss(path.c_str(), &progress, &counter), 1);
    EXPECT_EQ(progress.positions(), (std::vector<int>{1}));
    EXPECT_EQ(progress.statuses(), (std::vector<std::string>{"Downloading amss.mbn...100%"}));
}

TEST_F(ImageStreamFailureTest, BlockRefusedTenTimesEndsTheImageAndClosesIt) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("loginstead:stream:0x07:nth=2:times=10"));
    const std::string path = files.write("oemsbl.mbn", pattern(2000, 9));
    opened(options);
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 11);
    EXPECT_EQ(closes(), 1);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "error ack1\n"), 10);
    EXPECT_EQ(count_of(text, "error ack2\n"), 10);
    EXPECT_TRUE(in_order(text, {"error ack1\n", "dl_dload_amss: recv bad cmd error! \n",
                                "Download fail on addr 0x200 and close now\n"}))
        << text.substr(text.size() - 300);
    // Each dump is the whole receive buffer.
    const std::size_t first = text.find("error ack1\n") + 11;
    const std::string dump = text.substr(first, text.find('\n', first) - first);
    EXPECT_EQ(count_of(dump, "0x"), 20000);
}

TEST_F(ImageStreamFailureTest, BlockWrittenAfterALogMessageIsStillSentAgain) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("logbefore:stream:0x07:nth=1:ms=0"));
    const Bytes image = pattern(1500, 10);
    const std::string path = files.write("qcsbl.mbn", image);
    auto& device = opened(options);
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(writes(), 4);
    EXPECT_EQ(device.flash_image(kImageType)->data, image);
    EXPECT_EQ(count_of(log.text(), "error ack1\n"), 1);
}

TEST_F(ImageStreamFailureTest, MissingFileSendsNothingAndSaysWhy) {
    opened();
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 0);
    EXPECT_EQ(closes(), 0);
    EXPECT_EQ(log.text(), "Send multi-image open successful\ndl_dload_amss: cannot open " + path +
                              ": No such file or directory\n");
}

TEST_F(ImageStreamFailureTest, ImageBeyondThe32BitOffsetIsRefusedBeforeSending) {
    const std::string path = files.path() + "/huge.mbn";
    files.write("huge.mbn", Bytes{});
    std::error_code error;
    std::filesystem::resize_file(path, 0x100000000ull, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    opened();
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(writes(), 0);
    EXPECT_EQ(closes(), 0);
    EXPECT_TRUE(log.text().ends_with("dl_dload_amss: image larger than 4 GiB error! \n"));
}

TEST_F(ImageStreamFailureTest, LineDyingInTheFurtherReadFailsTheImage) {
    ScriptedDevice scripted;
    scripted.script({{frame_answer({0x0E}), true}});
    serial_port->Open(scripted.port());
    const std::string path = files.write("amss.mbn", pattern(100, 11));
    EXPECT_EQ(dl_dload_amss(path.c_str(), nullptr, nullptr), 0);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "error ack1\n"), 1);
    EXPECT_EQ(count_of(text, "error ack2\n"), 0);
    EXPECT_TRUE(in_order(
        text, {"dl_dload_amss: send cmd error! \n", "Download fail on addr 0x0 and close now\n",
               "send dl close handle: send dl cmd error! \n"}))
        << text.substr(text.size() - 300);
}

}  // namespace
