#include "dload/dload_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "link/serial_port.h"
#include "tests/support/protocol_support.h"
#include "tests/support/scripted_device.h"

namespace {

using emu::Mode;

class DloadCommandTest : public ProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DloadCommandTest, AnswersAreJudgedByTheirCommandByteWithOrWithoutLeadingFlag) {
    emu::Options options;
    options.answer_flag = GetParam();
    device(Mode::Dload, options);
    EXPECT_EQ(dl_nop(), 1);
    EXPECT_EQ(send_dload_request(), 1);
    EXPECT_EQ(send_dload_unlock(), 1);
    EXPECT_EQ(emulator->request_count(Mode::Dload, 0x0B), 1);
    EXPECT_EQ(log.text(), "Open in DLoad mode\nSend DLoad request ok\n");
}

INSTANTIATE_TEST_SUITE_P(LeadingFlag, DloadCommandTest, ::testing::Bool());

class DloadFailureTest : public ProtocolTest {};

TEST_F(DloadFailureTest, TenNaksOnUnlockLeaveTenNakLinesThenTheUnlockMessage) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("nak:dload:0x0b:code=1:times=0"));
    device(Mode::Dload, options);
    EXPECT_EQ(send_dload_unlock(), 0);
    EXPECT_EQ(emulator->request_count(Mode::Dload, 0x0B), 10);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "error: nak code 0x1";
    EXPECT_EQ(log.text(), expected + "Send DLoad unlock: check dl ack error\n");
}

TEST_F(DloadFailureTest, NineBadCrcsThenAnAckSucceedQuietly) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("badcrc:dload:0x0b:times=9"));
    device(Mode::Dload, options);
    EXPECT_EQ(send_dload_unlock(), 1);
    EXPECT_EQ(emulator->request_count(Mode::Dload, 0x0B), 10);
    EXPECT_EQ(log.text(), "");
}

TEST_F(DloadFailureTest, TenBadCrcsEndWithTheCrcMessage) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("badcrc:dload:0x06:times=0"));
    device(Mode::Dload, options);
    EXPECT_EQ(dl_nop(), 0);
    EXPECT_EQ(log.text(), "dl nop: check crc error! \n");
}

TEST_F(DloadFailureTest, NakedParameterRequestFails) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("nak:dload:0x07:code=7:times=0"));
    device(Mode::Dload, options);
    EXPECT_EQ(send_dload_request(), 0);
    EXPECT_EQ(emulator->request_count(Mode::Dload, 0x07), 10);
    EXPECT_EQ(log.text(), "Send DLoad request: recv bad command error\n");
}

TEST_F(DloadFailureTest, ClosedPortFailsEveryAttemptAsASendFailure) {
    EXPECT_EQ(dl_nop(), 0);
    EXPECT_EQ(send_dload_request(), 0);
    EXPECT_EQ(send_dload_unlock(), 0);
    EXPECT_EQ(log.text(),
              "dl nop: send cmd error! \nSend DLoad request error\n"
              "Send DLoad unlock: send command error\n");
}

TEST_F(DloadFailureTest, AnswerLeftByAnEarlierAttemptIsJudgedAgain) {
    // The buffer is cleared once per operation: after a NAK, silence shows the same NAK again.
    ScriptedDevice scripted;
    scripted.script({{frame_answer({0x03, 0x00, 0x01})}});
    serial_port->Open(scripted.port());
    EXPECT_EQ(dl_nop(), 0);
    EXPECT_EQ(scripted.requests().size(), 10u);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "error: nak code 0x1"), 10) << text;
}

}  // namespace
