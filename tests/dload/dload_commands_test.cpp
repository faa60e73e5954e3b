// Boot downloader commands on a scripted port: requests, answers with and without a leading flag,
// and every kind of failed answer.
#include "dload/dload_commands.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "tests/support/protocol_data.h"
#include "tests/support/scripted_test.h"

namespace {

const Bytes kAck = {0x02};
const Bytes kUnlock = {0x0B, 0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xD4, 0x61, 0xF0};

class DloadCommandTest : public ScriptedTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DloadCommandTest, AnswersAreJudgedByTheirCommandByteWithOrWithoutLeadingFlag) {
    const bool flag = GetParam();
    device().script({answer(kAck, flag), answer({0x08, 0x01, 0x02}, flag), answer(kAck, flag)});
    EXPECT_EQ(dl_nop(line), 1);
    EXPECT_EQ(send_dload_request(line), 1);
    EXPECT_EQ(send_dload_unlock(line), 1);
    EXPECT_EQ(device().requests(), (std::vector<Bytes>{{0x06}, {0x07}, kUnlock}));
    // Requests always open with a flag.
    EXPECT_EQ(device().writes()[0], frame({0x06}, true));
    EXPECT_EQ(device().flushes(), 0);
    EXPECT_EQ(log.text(), "Open in DLoad mode\nSend DLoad request ok\n");
}

INSTANTIATE_TEST_SUITE_P(LeadingFlag, DloadCommandTest, ::testing::Bool());

struct Command {
    const char* name;
    std::function<int(DeviceLine&)> run;
    bool logs_naks;  // judged through the ACK check, which logs each NAK
    std::string send_line;
    std::string crc_line;
    std::string answer_line;
};
void PrintTo(const Command& x, std::ostream* os) {
    *os << x.name;
}

class EveryCommand : public ScriptedTest, public ::testing::WithParamInterface<Command> {
  protected:
    // The command against a device giving reply to every request; the log it leaves.
    std::string failure(const Reply& reply, int requests_expected) {
        log.restart();
        const int before = requests();
        device().script({}, reply);
        EXPECT_EQ(GetParam().run(line), 0);
        EXPECT_EQ(requests() - before, requests_expected);
        return log.text();
    }
};

TEST_P(EveryCommand, FailsAfterTenAttemptsLoggingTheLastKindOnce) {
    const Command& c = GetParam();
    const std::string naks = c.logs_naks ? times(10, "error: nak code 0x1") : "";
    EXPECT_EQ(failure(answer({0x03, 0x00, 0x01}, true), 10), naks + c.answer_line);
    EXPECT_EQ(failure(raw(frame_bad_crc({0x02})), 10), c.crc_line);
    EXPECT_EQ(waited_ms(), 0);
    EXPECT_EQ(failure(silence(), 10), unframed(19999, 10) + c.crc_line);
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_EQ(failure(raise_error(EIO), 10),
              times(10, "apply dl cmd: Serial port wr/rd error\n") + c.send_line);
    device().Close();
    EXPECT_EQ(failure(answer(kAck, true), 0), c.send_line);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, EveryCommand,
    ::testing::Values(Command{"Nop", dl_nop, true, "dl nop: send cmd error! \n",
                              "dl nop: check crc error! \n", "dl nop: check ack error! \n"},
                      // Any valid answer but a NAK will do for the parameter request.
                      Command{"ParameterRequest", send_dload_request, false,
                              "Send DLoad request error\n", "Send DLoad request: check crc error\n",
                              "Send DLoad request: recv bad command error\n"},
                      Command{"Unlock", send_dload_unlock, true,
                              "Send DLoad unlock: send command error\n",
                              "Send DLoad unlock: check crc error\n",
                              "Send DLoad unlock: check dl ack error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class DloadFailureTest : public ScriptedTest {};

TEST_F(DloadFailureTest, NineBadCrcsThenAnAckSucceedQuietly) {
    device().script(repeated(9, raw(frame_bad_crc(kAck))), answer(kAck, true));
    EXPECT_EQ(send_dload_unlock(line), 1);
    EXPECT_EQ(device().requests(), std::vector<Bytes>(10, kUnlock));
    EXPECT_EQ(log.text(), "");
}

TEST_F(DloadFailureTest, UnknownAnswerIsNoAck) {
    device().script({}, answer({0x13, 0x06}));
    EXPECT_EQ(dl_nop(line), 0);
    EXPECT_EQ(log.text(),
              times(10, "check ack error: unknown response\n") + "dl nop: check ack error! \n");
}

TEST_F(DloadFailureTest, BareCrcOfAnEmptyPacketIsNoAnswer) {
    // Not even for the parameter request, which takes any packet but a NAK.
    device().script({}, raw({0x7E, 0x00, 0x00, 0x7E}));
    EXPECT_EQ(send_dload_request(line), 0);
    EXPECT_EQ(dl_nop(line), 0);
    EXPECT_EQ(log.text(), "Send DLoad request: check crc error\ndl nop: check crc error! \n");
}

// The bytes of a frame escaped once more, without a closing flag of their own.
Bytes escaped_again(const Bytes& frame) {
    Bytes out;
    for (std::uint8_t b : frame) {
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(b ^ 0x20);
        } else {
            out.push_back(b);
        }
    }
    return out;
}

TEST_F(DloadFailureTest, LeftAnswerIsJudgedAsReceivedNotAsDecodedBefore) {
    // Decoded once, these bytes are an ACK frame; as received they are no frame at all. The
    // silent attempts after them must see what was received, not the first attempt's decoding.
    device().script({raw(escaped_again(frame(kAck, true)))});
    EXPECT_EQ(dl_nop(line), 0);
    EXPECT_EQ(requests(), 10);
}

TEST_F(DloadFailureTest, AnswerLeftByAnEarlierAttemptIsJudgedAgain) {
    // The buffer is cleared once per operation: after a NAK, silence shows the same NAK again.
    device().script({answer({0x03, 0x00, 0x01}, true)});
    EXPECT_EQ(dl_nop(line), 0);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(waited_ms(), 9 * 500);
    EXPECT_EQ(log.text(), times(10, "error: nak code 0x1") + "dl nop: check ack error! \n");
}

}  // namespace
