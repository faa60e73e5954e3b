// Flash programmer commands on a scripted port: requests, statuses, log messages in place of
// answers, retries and time-outs.
#include "stream/stream_commands.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/protocol_data.h"
#include "tests/support/scripted_test.h"

namespace {

Bytes with_text(Bytes packet, const std::string& text) {
    packet.insert(packet.end(), text.begin(), text.end());
    return packet;
}

// --- hello -------------------------------------------------------------------------------------

struct HelloCase {
    const char* name;
    int id_length;
    int sectors;
    std::uint8_t features;
    bool answer_flag;
    int result;
    std::string log;
};
void PrintTo(const HelloCase& x, std::ostream* os) {
    *os << x.name;
}

class HelloTest : public ScriptedTest, public ::testing::WithParamInterface<HelloCase> {};

TEST_P(HelloTest, FieldsAfterTheFlashIdAreFoundFromItsLength) {
    const HelloCase& c = GetParam();
    device().script({}, answer(hello_answer(c.id_length, c.sectors, c.features), c.answer_flag));
    EXPECT_EQ(send_dl_hello(line), c.result);
    EXPECT_EQ(requests(), c.result ? 1 : 10);
    // Hello: the magic text, protocol version 3, compatible version 2, feature bits 0x09.
    const Bytes& hello = device().requests().at(0);
    ASSERT_EQ(hello.size(), 36u);
    EXPECT_EQ(hello[0], 0x01);
    EXPECT_EQ(Bytes(hello.begin() + 33, hello.end()), (Bytes{3, 2, 0x09}));
    EXPECT_EQ(log.text(), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HelloTest,
    ::testing::Values(HelloCase{"NoFlashIdNoSectors", 0, 0, 0x09, false, 1,
                                "Open in Stream Download mode\n"},
                      HelloCase{"LongestFlashIdMostSectors", 255, 256, 0x09, true, 1,
                                "Open in Stream Download mode\n"},
                      HelloCase{"TooManySectors", 8, 257, 0x09, false, 0,
                                "send dl hello:recv bad number of sector error! \n"},
                      HelloCase{"WrongFeatureBits", 8, 4, 0x01, true, 0,
                                "send dl hello: recv bad feature bits cmd error! \n"}),
    [](const auto& info) { return std::string(info.param.name); });

class StreamCommandTest : public ScriptedTest {};

TEST_F(StreamCommandTest, HelloAnsweredWithSomethingElseOrNothingFails) {
    device().script({}, answer({0x0D, 1, 0, 0, 0}));
    EXPECT_EQ(send_dl_hello(line), 0);
    device().script({}, silence());
    EXPECT_EQ(send_dl_hello(line), 0);
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_EQ(log.text(),
              "send dl hello: recv bad cmd error! \nsend dl hello: recv bad cmd error! \n");
}

TEST_F(StreamCommandTest, HelloOnAFailingOrClosedPortIsASendFailure) {
    device().script({}, raise_error(EIO));
    EXPECT_EQ(send_dl_hello(line), 0);
    EXPECT_EQ(requests(), 10);
    device().Close();
    EXPECT_EQ(send_dl_hello(line), 0);
    const std::string raised = times(10, "apply dl cmd: Serial port wr/rd error\n");
    EXPECT_EQ(log.text(),
              raised + "send dl hello: send cmd error! \nsend dl hello: send cmd error! \n");
}

// --- partition table ---------------------------------------------------------------------------

struct StatusCase {
    int status;
    std::string log;
    int result;  // whether the download may go on
};
void PrintTo(const StatusCase& x, std::ostream* os) {
    *os << "status " << x.status;
}

class PartitionStatusTest : public ScriptedTest,
                            public ::testing::WithParamInterface<StatusCase> {};

TEST_P(PartitionStatusTest, EveryStatusIsLoggedAndOnlyATableTakenLetsTheDownloadGoOn) {
    device().script({}, answer({0x1A, static_cast<std::uint8_t>(GetParam().status)}));
    const Bytes table = pattern(600, 4);
    EXPECT_EQ(send_partition_table(line, files.write("partition.mbn", table).c_str()),
              GetParam().result);
    ASSERT_EQ(requests(), 1);
    Bytes expected = {0x19, 0x00};
    expected.insert(expected.end(), table.begin(), table.begin() + 512);
    EXPECT_EQ(device().requests()[0], expected);
    EXPECT_EQ(log.text(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, PartitionStatusTest,
    ::testing::Values(
        StatusCase{0, "Partition table accepted\n", 1},
        StatusCase{1, "Partition table differs, override will be accepted\n", 1},
        StatusCase{2, "Partition table format not recognized, will not accept override\n", 0},
        StatusCase{3, "Partition table erase operation failed\n", 0},
        StatusCase{9, "Partition table: unknown status 9 fail\n", 0}));

TEST_F(StreamCommandTest, ShortPartitionTableIsSentWhole) {
    device().script({answer({0x1A, 0})});
    const Bytes table = pattern(300, 5);
    EXPECT_EQ(send_partition_table(line, files.write("partition.mbn", table).c_str()), 1);
    Bytes expected = {0x19, 0x00};
    expected.insert(expected.end(), table.begin(), table.end());
    EXPECT_EQ(device().requests(), std::vector<Bytes>{expected});
}

TEST_F(StreamCommandTest, MissingPartitionFileSendsNothingAndSaysWhy) {
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(send_partition_table(line, path.c_str()), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "cannot open " + path + ": No such file or directory\n");
}

TEST_F(StreamCommandTest, PartitionTableWithoutItsAnswerFails) {
    device().script({}, answer({0x0D, 1, 0, 0, 0}));
    EXPECT_EQ(send_partition_table(line, files.write("p.mbn", pattern(10, 1)).c_str()), 0);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(log.text(), "Partition table response error\n");
    device().script({}, silence());
    log.restart();
    EXPECT_EQ(send_partition_table(line, files.write("p.mbn", pattern(10, 1)).c_str()), 0);
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_EQ(log.text(), "Partition table response error\n");
    device().Close();
    log.restart();
    EXPECT_EQ(send_partition_table(line, files.write("p.mbn", pattern(10, 1)).c_str()), 0);
    EXPECT_EQ(log.text(), "Fail to send partition table\n");
}

// --- open multi-image --------------------------------------------------------------------------

class MultiImageStatusTest : public ScriptedTest,
                             public ::testing::WithParamInterface<StatusCase> {};

TEST_P(MultiImageStatusTest, EveryStatusIsLoggedAndOnlyAnOpenImageLetsTheDownloadGoOn) {
    device().script({}, answer({0x1C, static_cast<std::uint8_t>(GetParam().status)}));
    EXPECT_EQ(send_multi_image_open(line, nullptr, 3), GetParam().result);
    EXPECT_EQ(device().requests(), (std::vector<Bytes>{{0x1B, 0x03}}));
    EXPECT_EQ(log.text(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, MultiImageStatusTest,
    ::testing::Values(StatusCase{0, "Send multi-image open successful\n", 1},
                      StatusCase{1, "Send multi-image payload length exceeded faill\n", 0},
                      StatusCase{2, "Send multi-image  no payload expected fail\n", 0},
                      StatusCase{3, "Send multi-image payload required fail\n", 0},
                      StatusCase{4, "Send multi-image block 0 write protected fail\n", 0},
                      StatusCase{9, "Send multi-image open: unknown status 9 fail\n", 0}));

TEST_F(StreamCommandTest, ImageHeaderIsSentUpTo512Bytes) {
    device().script({}, answer({0x1C, 0}));
    const Bytes header = pattern(700, 6);
    EXPECT_EQ(send_multi_image_open(line, files.write("amsshd.mbn", header).c_str(), 5), 1);
    EXPECT_EQ(send_multi_image_open(line, nullptr, 2), 1);
    Bytes expected = {0x1B, 5};
    expected.insert(expected.end(), header.begin(), header.begin() + 512);
    EXPECT_EQ(device().requests(), (std::vector<Bytes>{expected, {0x1B, 2}}));
}

TEST_F(StreamCommandTest, MissingHeaderFileSendsNothingAndSaysWhy) {
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(send_multi_image_open(line, path.c_str(), 4), 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(log.text(), "cannot open " + path + ": No such file or directory\n");
}

TEST_F(StreamCommandTest, UnansweredImageOpenFails) {
    EXPECT_EQ(send_multi_image_open(line, nullptr, 2), 0);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(waited_ms(), 10 * 500);
    EXPECT_EQ(log.text(), "Send multi-image response error\n");
}

// --- security mode and close, with the programmer's log messages -------------------------------

TEST_F(StreamCommandTest, SecurityModeIsConfirmed) {
    device().script({answer({0x18})});
    EXPECT_EQ(send_dl_security(line), 1);
    EXPECT_EQ(device().requests(), (std::vector<Bytes>{{0x17, 0x01}}));
    EXPECT_EQ(log.text(), "");
}

TEST_F(StreamCommandTest, SecurityAnsweredOnlyWithLogMessagesStillSucceeds) {
    device().script({}, answer(with_text({0x0E}, "busy")));
    EXPECT_EQ(send_dl_security(line), 1);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(waited_ms(), 500) << "the further read waits for what follows the message";
    EXPECT_EQ(log.text(), "");
}

TEST_F(StreamCommandTest, SecurityFailsWhenTheLineDiesInTheFurtherRead) {
    const Reply log_message = answer(with_text({0x0E}, "busy"));
    std::vector<Reply> replies = repeated(9, log_message);
    replies.push_back(hang_up(log_message));
    device().script(replies);
    EXPECT_EQ(send_dl_security(line), 0);
    EXPECT_EQ(log.text(), "Send dl security fail\n");
}

TEST_F(StreamCommandTest, SilentProgrammerFailsSecurity) {
    EXPECT_EQ(send_dl_security(line), 0);
    EXPECT_EQ(waited_ms(), 10 * 500);
    device().script({}, answer({0x0D, 1, 0, 0, 0}));
    EXPECT_EQ(send_dl_security(line), 0);
    device().Close();
    EXPECT_EQ(send_dl_security(line), 0);
    EXPECT_EQ(log.text(), "Send dl security fail\nSend dl security fail\nSend dl security fail\n");
}

TEST_F(StreamCommandTest, CloseOfAnOpenImageIsConfirmed) {
    device().script({answer({0x16})});
    EXPECT_EQ(send_dl_close_handle(line), 1);
    EXPECT_EQ(device().requests(), std::vector<Bytes>{{0x15}});
    EXPECT_EQ(log.text(), "Close handle ok\n");
}

TEST_F(StreamCommandTest, CloseAnsweredWithALogMessageReadsOnceMore) {
    device().script({answer(with_text({0x0E}, "no image open"))});
    EXPECT_EQ(send_dl_close_handle(line), 1);
    EXPECT_EQ(requests(), 1);
    EXPECT_EQ(waited_ms(), 500);
    EXPECT_EQ(log.text(), "Close handle fail, It's already close\n");
}

TEST_F(StreamCommandTest, CloseFailsWhenTheLineDiesInTheFurtherRead) {
    device().script({hang_up(answer({0x0E}))});
    EXPECT_EQ(send_dl_close_handle(line), 0);
    EXPECT_EQ(log.text(),
              "Close handle fail, It's already close\n"
              "send dl close handle: send dl cmd error! \n");
}

TEST_F(StreamCommandTest, CloseAnsweredWrongTenTimesFails) {
    device().script({}, answer({0x08, 0, 0, 0, 0}));
    EXPECT_EQ(send_dl_close_handle(line), 0);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(log.text(), "Close handle fail\n");
    device().Close();
    log.restart();
    EXPECT_EQ(send_dl_close_handle(line), 0);
    EXPECT_EQ(log.text(), "send dl close handle: send dl cmd error! \n");
}

// --- reset -------------------------------------------------------------------------------------

TEST_F(StreamCommandTest, ResetIsAcknowledged) {
    device().script({answer({0x0C})});
    EXPECT_EQ(dl_reset(line), 1);
    EXPECT_EQ(device().requests(), std::vector<Bytes>{{0x0B}});
    EXPECT_EQ(log.text(), "Download reset ok, finish download\n");
}

struct ResetCase {
    const char* name;
    Bytes answer;
    std::string log;
};
void PrintTo(const ResetCase& x, std::ostream* os) {
    *os << x.name;
}

class ResetFailureTest : public ScriptedTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetFailureTest, TenFailedAttemptsLogTheLastKind) {
    device().script({}, raw(GetParam().answer));
    EXPECT_EQ(dl_reset(line), 0);
    EXPECT_EQ(requests(), 10);
    EXPECT_EQ(log.text(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResetFailureTest,
    ::testing::Values(
        ResetCase{"ErrorWithText",
                  frame(with_text({0x0D, 0x07, 0, 0, 0}, std::string("flash busy\0", 11))),
                  "Error: Download reset, flash busy\n"},
        ResetCase{"ErrorTextUnterminatedAndUnprintable",
                  frame(with_text({0x0D, 0x07, 0, 0, 0},
                                  "bad\x01\x7e"
                                  "block"),
                        true),
                  "Error: Download reset, bad?~block\n"},
        ResetCase{"ErrorWithoutText", frame({0x0D, 0x07, 0, 0, 0}), "Error: Download reset, \n"},
        ResetCase{"OtherAnswer", frame({0x16}), "Download reset fail\n"},
        ResetCase{"NoAnswer", {}, "Download reset fail\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamCommandTest, ResetOnAClosedPortIsASendFailure) {
    device().Close();
    EXPECT_EQ(dl_reset(line), 0);
    EXPECT_EQ(log.text(), "dl reset, send cmd error\n");
}

}  // namespace
