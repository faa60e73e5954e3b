#include "link/exchange.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/clock.h"
#include "link/device_line.h"
#include "link/hdlc.h"
#include "tests/link/pty.h"
#include "tests/support/log_capture.h"

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
    EXPECT_EQ(check_ack(ack), 1);
    EXPECT_EQ(log.text(), "");
}

TEST(CheckAck, NakLogsItsCodeWithoutLineEnd) {
    LogCapture log;
    const std::uint8_t nak[] = {0x03, 0x00, 0x05};
    EXPECT_EQ(check_ack(nak), 0);
    const std::uint8_t big[] = {0x03, 0x01, 0x0A};
    EXPECT_EQ(check_ack(big), 0);
    EXPECT_EQ(log.text(), "error: nak code 0x5error: nak code 0x10a");
}

TEST(CheckAck, UnknownAnswerIsLogged) {
    LogCapture log;
    const std::uint8_t error[] = {0x13, 0x00, 0x00};
    EXPECT_EQ(check_ack(error), 0);
    EXPECT_EQ(log.text(), "check ack error: unknown response\n");
}

}  // namespace
