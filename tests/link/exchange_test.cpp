#include "link/exchange.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "base/clock.h"
#include "link/device_line.h"
#include "link/hdlc.h"
#include "tests/link/pty.h"
#include "tests/support/log_capture.h"
#include "tests/support/text_files.h"

namespace {

class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        line.port->Open(pty_.number());
        std::memset(response_, 0xEE, sizeof(response_));
    }

    int diag(const Bytes& request, int* received = nullptr) {
        return apply_diag_cmd(line, request.data(), static_cast<int>(request.size()), response_,
                              sizeof(response_), crc(request), received);
    }
    int dl(const Bytes& request) {
        return apply_dl_cmd(line, request.data(), static_cast<int>(request.size()), response_,
                            sizeof(response_), crc(request));
    }
    static std::uint16_t crc(const Bytes& request) {
        return crc16_bits(request.data(), static_cast<int>(request.size()) * 8);
    }

    DeviceLine line;
    LogCapture log_;
    Pty pty_;
    std::uint8_t response_[20000];
};

TEST_F(ExchangeTest, DiagRequestGoesOutWithoutLeadingFlag) {
    EXPECT_EQ(diag({0x00}), 1);
    EXPECT_EQ(pty_.receive(4), (Bytes{0x00, 0x78, 0xF0, 0x7E}));
    EXPECT_EQ(log_.text(), "");
}

TEST_F(ExchangeTest, DloadRequestGoesOutWithLeadingFlag) {
    EXPECT_EQ(dl({0x00}), 1);
    EXPECT_EQ(pty_.receive(5), (Bytes{0x7E, 0x00, 0x78, 0xF0, 0x7E}));
}

TEST_F(ExchangeTest, SilentDeviceStillGivesOneAndLeavesTheBufferAlone) {
    EXPECT_EQ(diag({0x00}), 1);
    EXPECT_EQ(response_[0], 0xEE);
    EXPECT_EQ(response_[sizeof(response_) - 1], 0xEE);
}

TEST_F(ExchangeTest, WaitingAnswerLandsInTheResponseBuffer) {
    // The answer is already there when the request goes out; the flush must keep it.
    const Bytes answer = {0x00, 0x41, 0x42, 0x7E};
    pty_.send(answer);
    EXPECT_EQ(diag({0x00}), 1);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), response_));
    EXPECT_EQ(response_[answer.size()], 0xEE);
}

TEST_F(ExchangeTest, AnswerSplitOverTwoReadsIsFinishedByTheNextExchange) {
    pty_.send({0x7E, 0x02});
    EXPECT_EQ(dl({0x06}), 1);
    EXPECT_EQ(response_[0], 0x7E);
    EXPECT_EQ(response_[1], 0x02);
    pty_.send({0x6A, 0xD3, 0x7E});
    EXPECT_EQ(dl({0x06}), 1);
    EXPECT_EQ(response_[0], 0x6A);
}

TEST_F(ExchangeTest, ReadCountTellsWhatTheLastReadTookAndLateBytesComeWithoutARequest) {
    pty_.send({0x00, 0x41, 0x7E, 0x13, 0x7E});
    int received = -1;
    EXPECT_EQ(diag({0x00}, &received), 1);
    EXPECT_EQ(received, 5);
    EXPECT_EQ(diag({0x00}, &received), 1);
    EXPECT_EQ(received, 0) << "nothing answered";
    pty_.send({0x42, 0x7E});
    std::uint8_t late[8] = {};
    EXPECT_EQ(receive_late_bytes(line, late, sizeof late), 2);
    EXPECT_EQ(late[0], 0x42);
    // Only the two requests went out.
    EXPECT_EQ(pty_.receive(8), (Bytes{0x00, 0x78, 0xF0, 0x7E, 0x00, 0x78, 0xF0, 0x7E}));
    line.port->Close();
    EXPECT_EQ(receive_late_bytes(line, late, sizeof late), 0);
}

TEST_F(ExchangeTest, LargeFrameGoesOutWhole) {
    WireTap tap(pty_.master());
    Bytes request(6000, 0x7E);  // every byte escaped: a 12 kB frame
    request[0] = 0x07;
    EXPECT_EQ(dl(request), 1);
    Bytes expected =
        hdlc_encode(request.data(), static_cast<int>(request.size()), crc(request), true);
    EXPECT_EQ(tap.wait_for(expected.size()), expected);
}

TEST_F(ExchangeTest, ClosedPortGivesZeroAndNoLogLine) {
    line.port->Close();
    EXPECT_EQ(diag({0x00}), 0);
    EXPECT_EQ(dl({0x00}), 0);
    line.port = nullptr;
    EXPECT_EQ(diag({0x00}), 0);
    EXPECT_EQ(dl({0x00}), 0);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(ExchangeTest, StopRequestActsAsAClosedPort) {
    line.cancel.request();
    EXPECT_EQ(diag({0x00}), 0);
    EXPECT_EQ(dl({0x00}), 0);
    EXPECT_EQ(log_.text(), "");
    line.cancel.clear();
    pty_.send({0x55});
    EXPECT_EQ(dl({0x00}), 1);
    // Nothing of the stopped calls reached the wire.
    EXPECT_EQ(pty_.receive(5), (Bytes{0x7E, 0x00, 0x78, 0xF0, 0x7E}));
}

TEST_F(ExchangeTest, DiagOnARaisingPortLogsOnceAfterItsAttempts) {
    pty_.close_master();
    EXPECT_EQ(diag({0x00}), 0);
    EXPECT_EQ(log_.text(), "apply diag cmd: Serial port wr/rd error\n");
}

TEST_F(ExchangeTest, DloadOnARaisingPortLogsOnce) {
    pty_.close_master();
    EXPECT_EQ(dl({0x00}), 0);
    EXPECT_EQ(log_.text(), "apply dl cmd: Serial port wr/rd error\n");
}

TEST(CheckAck, AckPassesSilently) {
    LogCapture log;
    const std::uint8_t ack[] = {0x02, 0x6A, 0xD3};
    EXPECT_EQ(check_ack(ack, program_log()), 1);
    EXPECT_EQ(log.text(), "");
}

TEST(CheckAck, NakLogsItsCodeWithoutLineEnd) {
    LogCapture log;
    const std::uint8_t nak[] = {0x03, 0x00, 0x05};
    EXPECT_EQ(check_ack(nak, program_log()), 0);
    const std::uint8_t big[] = {0x03, 0x01, 0x0A};
    EXPECT_EQ(check_ack(big, program_log()), 0);
    EXPECT_EQ(log.text(), "error: nak code 0x5error: nak code 0x10a");
}

TEST(CheckAck, UnknownAnswerIsLogged) {
    LogCapture log;
    const std::uint8_t error[] = {0x13, 0x00, 0x00};
    EXPECT_EQ(check_ack(error, program_log()), 0);
    EXPECT_EQ(log.text(), "check ack error: unknown response\n");
}

// Two devices worked on at once, each line on a sink of its own: what is done on a line, its
// exchanges, their answers' judgement and its reasons, lands in that line's file alone, is heard by
// that line's listener alone, and none of it in the program's own log.
TEST(LineSinks, EachLineLogsAndTellsInItsOwnFileOnly) {
    LogCapture program;  // download.dbg, in a folder of the test's own
    const int program_reasons = program_log().reasons_told();
    struct Device {
        explicit Device(const char* name) { opened = log.open_named(name); }
        LogSink log;
        bool opened = false;
        std::vector<std::string> heard;
        Pty pty;
        DeviceLine line{real_clock(), log};
    };
    Device first("download-1-1.dbg");
    Device second("download-1-2.dbg");
    for (Device* device : {&first, &second}) {
        ASSERT_TRUE(device->opened);
        ASSERT_TRUE(device->pty.ok());
        device->log.set_reason_listener(
            [device](const std::string& reason) { device->heard.push_back(reason); });
        device->line.port->Open(device->pty.number());
        device->pty.close_master();  // every exchange now fails on the port
    }
    const std::uint8_t request[] = {0x00};
    std::uint8_t response[16] = {};
    EXPECT_EQ(apply_dl_cmd(first.line, request, 1, response, sizeof response, 0), 0);
    const std::uint8_t nak[] = {0x03, 0x00, 0x05};
    EXPECT_EQ(check_ack(nak, first.line.log()), 0);
    first.line.log().tell_reason("cannot open %s", "first.hex");
    EXPECT_EQ(apply_diag_cmd(second.line, request, 1, response, sizeof response, 0), 0);
    second.line.log().tell_reason("cannot open %s", "second.mbn");

    EXPECT_EQ(first.heard, std::vector<std::string>{"cannot open first.hex"});
    EXPECT_EQ(second.heard, std::vector<std::string>{"cannot open second.mbn"});
    EXPECT_EQ(first.log.reasons_told(), 1);
    EXPECT_EQ(program_log().reasons_told(), program_reasons);
    const std::string first_path = first.log.path();
    const std::string second_path = second.log.path();
    EXPECT_NE(first_path, second_path);
    // Beside download.dbg.
    const std::filesystem::path folder = std::filesystem::path(log_path()).parent_path();
    EXPECT_EQ(std::filesystem::path(first_path).parent_path(), folder);
    EXPECT_EQ(std::filesystem::path(second_path).parent_path(), folder);
    first.log.close();
    second.log.close();
    EXPECT_EQ(read_text_file(first_path),
              "apply dl cmd: Serial port wr/rd error\nerror: nak code 0x5cannot open first.hex\n");
    EXPECT_EQ(read_text_file(second_path),
              "apply diag cmd: Serial port wr/rd error\ncannot open second.mbn\n");
    EXPECT_EQ(program.text(), "");
}

}  // namespace
