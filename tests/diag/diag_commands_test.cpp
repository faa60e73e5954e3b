// DIAG commands and the mode probe on a scripted port: every failure kind, retry and time-out.
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "link/port_diagnosis.h"
#include "tests/support/protocol_data.h"
#include "tests/support/scripted_test.h"

namespace {

const Bytes kNop = {0x06};
const Bytes kVersion = {0x00};
const Bytes kSwitch = {0x3A};

constexpr std::uint8_t kHello = 0x01;

// A modem in DIAG mode: answers the version request, refuses what it does not know.
Reply diag_device(const Bytes& request) {
    if (request == kVersion) return answer({0x00, 'E', 'M', 'U'});
    Bytes refused(request.size() + 1, 0x13);
    std::copy(request.begin(), request.end(), refused.begin() + 1);
    return answer(refused);
}
// The boot downloader: acknowledges the nop.
Reply boot_downloader(const Bytes& request) {
    return request == kNop ? answer({0x02}, true) : silence();
}
// A running flash programmer: answers hello only.
Reply programmer(const Bytes& request) {
    return request[0] == kHello ? answer(hello_answer(8, 4, 0x09), true) : silence();
}

// Command bytes: count requests of each.
Bytes codes_of(std::initializer_list<std::pair<std::uint8_t, int>> runs) {
    Bytes out;
    for (const auto& [code, count] : runs)
        out.insert(out.end(), count, code);
    return out;
}

class ProbeTest : public ScriptedTest {};

TEST_F(ProbeTest, DeviceInDiagModeAnswersAfterBothNopsFail) {
    device().answer_with(diag_device);
    EXPECT_EQ(open_port(line, 3), MODE_DIAG);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(device().opened().back(), 3);
    EXPECT_EQ(codes(), codes_of({{0x06, 20}, {0x00, 1}}));
    const std::string refused = times(10, "check ack error: unknown response\n");
    EXPECT_EQ(log.text(), refused + "dl nop: check ack error! \n" + refused +
                              "dl nop: check ack error! \nOpen in DIAG mode\n");
    EXPECT_EQ(waited_ms(), 0);
}

TEST_F(ProbeTest, DeviceInBootDownloaderAnswersTheFirstNop) {
    device().answer_with(boot_downloader);
    EXPECT_EQ(open_port(line, 3), MODE_DLOAD);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(codes(), codes_of({{0x06, 1}}));
    EXPECT_EQ(log.text(), "Open in DLoad mode\n");
}

TEST_F(ProbeTest, RunningProgrammerAnswersHelloAfterNopsAndVersionFail) {
    device().answer_with(programmer);
    EXPECT_EQ(open_port(line, 3), MODE_STREAM);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(codes(), codes_of({{0x06, 20}, {0x00, 10}, {kHello, 1}}));
    const std::string unanswered_nop = unframed(19999, 10) + "dl nop: check crc error! \n";
    EXPECT_EQ(log.text(), unanswered_nop + unanswered_nop + unframed(20000, 10) +
                              "get ver: check crc error! \nOpen in Stream Download mode\n");
    EXPECT_EQ(waited_ms(), 30 * 500);
}

TEST_F(ProbeTest, PortThatCannotBeOpenedIsExplained) {
    device().refuse_open(ENOENT);
    EXPECT_EQ(open_port(line, 9999), MODE_NONE);
    EXPECT_EQ(open_dl_port(line, 9998), 0);
    EXPECT_FALSE(device().IsOpen());
    EXPECT_TRUE(device().requests().empty());
    // Each failure names the port and why, in the platform's words.
    EXPECT_EQ(log.text(), "can't open port! 9999\ncannot open port 9999, " +
                              explain_port_failure(9999, ENOENT) + "\ncan't open dl port! 9998\n" +
                              "cannot open port 9998, " + explain_port_failure(9998, ENOENT) +
                              "\n");
}

TEST_F(ProbeTest, SilentDeviceGivesNoneAndClosesThePort) {
    EXPECT_EQ(open_port(line, 3), MODE_NONE);
    EXPECT_FALSE(device().IsOpen());
    // Two nops, the version request and the hello, ten unanswered attempts each.
    EXPECT_EQ(codes(), codes_of({{0x06, 20}, {0x00, 10}, {kHello, 10}}));
    EXPECT_EQ(waited_ms(), 40 * 500);
    const std::string unanswered_nop = unframed(19999, 10) + "dl nop: check crc error! \n";
    EXPECT_EQ(log.text(), unanswered_nop + unanswered_nop + unframed(20000, 10) +
                              "get ver: check crc error! \nsend dl hello: recv bad cmd error! \n"
                              "Open port error and close port 3\n");
}

TEST_F(ProbeTest, DownloadPortOpensOnARunningProgrammerOnly) {
    device().answer_with(programmer);
    EXPECT_EQ(open_dl_port(line, 4), MODE_DLOAD);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(codes(), codes_of({{kHello, 1}}));
    EXPECT_EQ(log.text(), "Open in Stream Download mode\n");
}

TEST_F(ProbeTest, DownloadPortWithoutAProgrammerIsClosed) {
    device().answer_with(boot_downloader);
    EXPECT_EQ(open_dl_port(line, 4), 0);
    EXPECT_FALSE(device().IsOpen());
    EXPECT_EQ(codes(), codes_of({{kHello, 10}}));
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_EQ(log.text(),
              "send dl hello: recv bad cmd error! \nOpen port error and close dl port 4\n");
}

// --- how each command judges its answers -------------------------------------------------------

struct FailureCase {
    const char* name;
    Reply reply;   // to every request
    int requests;  // of the three commands together
    long long waited_ms;
    std::string get_ver;
    std::string build_version;
    std::string switch_mode;
};
void PrintTo(const FailureCase& x, std::ostream* os) {
    *os << x.name;
}

class DiagFailureTest : public ScriptedTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DiagFailureTest, TenFailedAttemptsLogTheLastKindOnce) {
    const FailureCase& c = GetParam();
    device().script({}, c.reply);
    EXPECT_EQ(get_ver(line), 0);
    EXPECT_EQ(retry_get_build_ver(line), nullptr);
    EXPECT_EQ(switch_dl_mode(line), 0);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(requests(), c.requests);
    EXPECT_EQ(device().flushes(), requests()) << "every attempt flushes first";
    EXPECT_EQ(waited_ms(), c.waited_ms);
    EXPECT_EQ(log.text(), c.get_ver + c.build_version + c.switch_mode);
}

const std::string kRaised = times(10, "apply diag cmd: Serial port wr/rd error\n");

INSTANTIATE_TEST_SUITE_P(
    Answers, DiagFailureTest,
    ::testing::Values(
        FailureCase{"Silence", silence(), 30, 30 * 500,
                    unframed(20000, 10) + "get ver: check crc error! \n",
                    "retry_get_build_ver: get length error! \n",
                    unframed(20000, 10) + "switch dl mode: check crc error! \n"},
        FailureCase{"BadCrc", raw(frame_bad_crc({0x00})), 30, 0, "get ver: check crc error! \n",
                    "retry_get_build_ver: get length error! \n",
                    "switch dl mode: check crc error! \n"},
        FailureCase{"BadCommand", answer({0x13, 0x00}), 30, 0, "get ver: recv bad cmd error! \n",
                    "retry_get_build_ver: get length error! \n",
                    "switch dl mode: recv bad cmd error! \n"},
        // The exchange makes ten attempts of its own inside each of the command's ten.
        FailureCase{"PortRaises", raise_error(EIO), 300, 0, kRaised + "get ver: send cmd error! \n",
                    kRaised + "retry_get_build_ver: send cmd error! \n",
                    kRaised + "switch dl mode: send cmd error! \n"},
        // A dead line takes no further request.
        FailureCase{"LineHungUp", hang_up(), 1, 0, kRaised + "get ver: send cmd error! \n",
                    kRaised + "retry_get_build_ver: send cmd error! \n",
                    kRaised + "switch dl mode: send cmd error! \n"}),
    [](const auto& info) { return std::string(info.param.name); });

class DiagCommandTest : public ScriptedTest {};

TEST_F(DiagCommandTest, CommandsOnAClosedPortFailAsSendErrorsWithoutTouchingIt) {
    device().Close();
    EXPECT_EQ(get_ver(line), 0);
    EXPECT_EQ(retry_get_build_ver(line), nullptr);
    EXPECT_EQ(switch_dl_mode(line), 0);
    EXPECT_TRUE(device().writes().empty());
    EXPECT_EQ(log.text(),
              "get ver: send cmd error! \nretry_get_build_ver: send cmd error! \n"
              "switch dl mode: send cmd error! \n");
}

TEST_F(DiagCommandTest, AnswersOfAnotherCommandAreRefused) {
    // A frame with a good CRC that does not echo the request is some other request's answer.
    device().script({}, answer({0x4B, 0x13, 0x00, 0x00}));
    EXPECT_EQ(get_ver(line), 0);
    EXPECT_EQ(switch_dl_mode(line), 0);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(requests(), 20);
    EXPECT_EQ(log.text(), "get ver: recv bad cmd error! \nswitch dl mode: recv bad cmd error! \n");
}

TEST_F(DiagCommandTest, BareCrcOfAnEmptyPacketIsNoAnswer) {
    device().script({}, raw({0x00, 0x00, 0x7E}));
    EXPECT_EQ(get_ver(line), 0);
    EXPECT_EQ(switch_dl_mode(line), 0);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(log.text(), "get ver: check crc error! \nswitch dl mode: check crc error! \n");
}

TEST_F(DiagCommandTest, LeftAnswerIsJudgedAsReceivedNotAsDecodedBefore) {
    // Decoded once, these bytes are the switch's answer; as received they are no frame at all.
    // The silent attempts after them must see what was received.
    Bytes twice;
    for (std::uint8_t b : frame(kSwitch)) {
        if (b == 0x7E || b == 0x7D) twice.push_back(0x7D);
        twice.push_back(b == 0x7E || b == 0x7D ? b ^ 0x20 : b);
    }
    device().script({raw(twice)});
    EXPECT_EQ(switch_dl_mode(line), 0);
    EXPECT_TRUE(device().IsOpen());
    EXPECT_EQ(requests(), 10);
}

TEST_F(DiagCommandTest, VersionAnsweredAfterNineSilencesSucceedsQuietly) {
    device().script(repeated(9, silence()), answer({0x00, 'E', 'M', 'U'}));
    EXPECT_EQ(get_ver(line), 1);
    EXPECT_EQ(codes(), codes_of({{0x00, 10}}));
    EXPECT_EQ(waited_ms(), 9 * 500);
    EXPECT_EQ(log.text(), unframed(20000, 9) + "Open in DIAG mode\n");
}

TEST_F(DiagCommandTest, AnswerSplitAcrossReadsCostsAttemptsButIsNotMistaken) {
    // The first read takes half a frame, the second the rest; the third gets a whole answer.
    device().script({split(frame({0x00, 'E', 'M', 'U'}), 3)}, answer({0x00, 'E', 'M', 'U'}));
    EXPECT_EQ(get_ver(line), 1);
    EXPECT_EQ(requests(), 3);
    EXPECT_EQ(log.text(), unframed(20000) + "Open in DIAG mode\n");
}

Bytes build_version_answer(const std::string& text) {
    Bytes packet = {0x7C, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    packet.insert(packet.end(), text.begin(), text.end());
    packet.push_back(0);
    const std::string model = "EMULATED MODEM";
    packet.insert(packet.end(), model.begin(), model.end());
    packet.push_back(0);
    return packet;
}

TEST_F(DiagCommandTest, BuildVersionIsTheAnswersText) {
    device().script({answer(build_version_answer("FW 2.3.4 B077"))});
    const char* version = retry_get_build_ver(line);
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "FW 2.3.4 B077");
    EXPECT_EQ(codes(), codes_of({{0x7C, 1}}));
    EXPECT_EQ(log.text(), "");
}

TEST_F(DiagCommandTest, BuildVersionFromAnotherAnswerIsRefused) {
    Bytes foreign = build_version_answer("FW 2.3.4 B077");
    foreign[0] = 0x4B;
    device().script({}, answer(foreign));
    EXPECT_EQ(retry_get_build_ver(line), nullptr);
    EXPECT_EQ(codes(), codes_of({{0x7C, 10}}));
    EXPECT_EQ(log.text(), "retry_get_build_ver: recv bad cmd error! \n");
}

TEST_F(DiagCommandTest, EmptyBuildVersionFailsAfterTenAttempts) {
    device().script({}, answer(build_version_answer("")));
    EXPECT_EQ(retry_get_build_ver(line), nullptr);
    EXPECT_EQ(codes(), codes_of({{0x7C, 10}}));
    EXPECT_EQ(log.text(), "retry_get_build_ver: get length error! \n");
}

TEST_F(DiagCommandTest, BuildVersionWithoutItsNulIsCutToTheTextBuffer) {
    Bytes endless(12, 0x7C);
    endless.resize(2000, 'A');  // no NUL, no closing flag: raw bytes to the end
    device().script({raw(endless), raw(build_version_answer("V2"))});

    const char* version = retry_get_build_ver(line);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::string(version), std::string(127, 'A'));
    // The longer answer before must not show through behind a shorter one.
    version = retry_get_build_ver(line);
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "V2");
}

TEST_F(DiagCommandTest, AcceptedSwitchClosesThePort) {
    device().script({answer(kSwitch)});
    EXPECT_EQ(switch_dl_mode(line), 1);
    EXPECT_FALSE(device().IsOpen());
    EXPECT_EQ(codes(), codes_of({{0x3A, 1}}));
    EXPECT_EQ(log.text(), "Switch to DLoad mode and close port \n");
}

TEST_F(DiagCommandTest, RequestsGoOutFramedWithoutLeadingFlag) {
    device().script({answer(kSwitch)});
    ASSERT_EQ(switch_dl_mode(line), 1);
    EXPECT_EQ(device().writes(), std::vector<Bytes>{frame(kSwitch)});
}

}  // namespace
