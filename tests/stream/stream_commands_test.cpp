#include "stream/stream_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "link/serial_port.h"
#include "tests/support/protocol_support.h"
#include "tests/support/scripted_device.h"

namespace {

using emu::Mode;

Bytes with_text(Bytes packet, const std::string& text) {
    packet.insert(packet.end(), text.begin(), text.end());
    return packet;
}

// --- hello -------------------------------------------------------------------------------------

struct HelloCase {
    const char* name;
    emu::HelloParams hello;
    bool answer_flag;
    int result;
    std::string log;
};
void PrintTo(const HelloCase& x, std::ostream* os) {
    *os << x.name;
}

class HelloTest : public ProtocolTest, public ::testing::WithParamInterface<HelloCase> {};

TEST_P(HelloTest, FieldsAfterTheFlashIdAreFoundFromItsLength) {
    emu::Options options;
    options.hello = GetParam().hello;
    options.answer_flag = GetParam().answer_flag;
    device(Mode::Stream, options, false);
    EXPECT_EQ(send_dl_hello(), GetParam().result);
    EXPECT_EQ(emulator->request_count(Mode::Stream, 0x01), GetParam().result ? 1 : 10);
    EXPECT_EQ(log.text(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HelloTest,
    ::testing::Values(
        HelloCase{"NoFlashIdNoSectors", {0, 0, 0x09}, false, 1, "Open in Stream Download mode\n"},
        HelloCase{"LongestFlashIdMostSectors",
                  {255, 256, 0x09},
                  true,
                  1,
                  "Open in Stream Download mode\n"},
        HelloCase{"TooManySectors",
                  {8, 257, 0x09},
                  false,
                  0,
                  "send dl hello:recv bad number of sector error! \n"},
        HelloCase{"WrongFeatureBits",
                  {8, 4, 0x01},
                  true,
                  0,
                  "send dl hello: recv bad feature bits cmd error! \n"}),
    [](const auto& info) { return std::string(info.param.name); });

class StreamCommandTest : public ProtocolTest {};

TEST_F(StreamCommandTest, HelloOnAClosedPortIsASendFailure) {
    EXPECT_EQ(send_dl_hello(), 0);
    EXPECT_EQ(log.text(), "send dl hello: send cmd error! \n");
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

class PartitionStatusTest : public ProtocolTest,
                            public ::testing::WithParamInterface<StatusCase> {};

TEST_P(PartitionStatusTest, EveryStatusIsLoggedAndOnlyATableTakenLetsTheDownloadGoOn) {
    ScriptedDevice scripted;
    scripted.script({}, {frame_answer({0x1A, static_cast<std::uint8_t>(GetParam().status)})});
    serial_port->Open(scripted.port());
    const Bytes table = pattern(600, 4);
    EXPECT_EQ(send_partition_table(files.write("partition.mbn", table).c_str()), GetParam().result);
    ASSERT_EQ(scripted.requests().size(), 1u);
    Bytes expected = {0x19, 0x00};
    expected.insert(expected.end(), table.begin(), table.begin() + 512);
    EXPECT_EQ(scripted.requests()[0], expected);
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

TEST_F(StreamCommandTest, PartitionTableReachesTheProgrammer) {
    device(Mode::Stream);
    const Bytes table = pattern(300, 5);
    EXPECT_EQ(send_partition_table(files.write("partition.mbn", table).c_str()), 1);
    EXPECT_EQ(emulator->partition_received(), table);
}

TEST_F(StreamCommandTest, MissingPartitionFileSendsNothingAndSaysWhy) {
    device(Mode::Stream);
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(send_partition_table(path.c_str()), 0);
    EXPECT_EQ(emulator->request_count(Mode::Stream, 0x19), 0);
    EXPECT_EQ(log.text(), "cannot open " + path + ": No such file or directory\n");
}

TEST_F(StreamCommandTest, PartitionTableWithoutItsAnswerFails) {
    ScriptedDevice scripted;
    scripted.script({}, {frame_answer({0x0D, 1, 0, 0, 0})});
    serial_port->Open(scripted.port());
    EXPECT_EQ(send_partition_table(files.write("p.mbn", pattern(10, 1)).c_str()), 0);
    EXPECT_EQ(scripted.requests().size(), 10u);
    EXPECT_EQ(log.text(), "Partition table response error\n");
    serial_port->Close();
    EXPECT_EQ(send_partition_table(files.write("p.mbn", pattern(10, 1)).c_str()), 0);
}

// --- open multi-image --------------------------------------------------------------------------

class MultiImageStatusTest : public ProtocolTest,
                             public ::testing::WithParamInterface<StatusCase> {};

TEST_P(MultiImageStatusTest, EveryStatusIsLoggedAndOnlyAnOpenImageLetsTheDownloadGoOn) {
    ScriptedDevice scripted;
    scripted.script({}, {frame_answer({0x1C, static_cast<std::uint8_t>(GetParam().status)})});
    serial_port->Open(scripted.port());
    EXPECT_EQ(send_multi_image_open(nullptr, 3), GetParam().result);
    ASSERT_EQ(scripted.requests().size(), 1u);
    EXPECT_EQ(scripted.requests()[0], (Bytes{0x1B, 0x03}));
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
    device(Mode::Stream);
    const Bytes header = pattern(700, 6);
    EXPECT_EQ(send_multi_image_open(files.write("amsshd.mbn", header).c_str(), 5), 1);
    EXPECT_EQ(send_multi_image_open(nullptr, 2), 1);
    ASSERT_TRUE(emulator->flash_image(5).has_value());
    EXPECT_EQ(emulator->flash_image(5)->header, Bytes(header.begin(), header.begin() + 512));
    ASSERT_TRUE(emulator->flash_image(2).has_value());
    EXPECT_TRUE(emulator->flash_image(2)->header.empty());
}

TEST_F(StreamCommandTest, MissingHeaderFileSendsNothingAndSaysWhy) {
    device(Mode::Stream);
    const std::string path = files.path() + "/none.mbn";
    EXPECT_EQ(send_multi_image_open(path.c_str(), 4), 0);
    EXPECT_EQ(emulator->request_count(Mode::Stream, 0x1B), 0);
    EXPECT_EQ(log.text(), "cannot open " + path + ": No such file or directory\n");
}

TEST_F(StreamCommandTest, UnansweredImageOpenFails) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("drop:stream:0x1b:times=0"));
    device(Mode::Stream, options);
    EXPECT_EQ(send_multi_image_open(nullptr, 2), 0);
    EXPECT_EQ(log.text(), "Send multi-image response error\n");
}

// --- security mode and close, with the programmer's log messages -------------------------------

TEST_F(StreamCommandTest, SecurityModeIsConfirmed) {
    device(Mode::Stream);
    EXPECT_EQ(send_dl_security(), 1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(StreamCommandTest, SecurityAnsweredOnlyWithLogMessagesStillSucceeds) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("loginstead:stream:0x17:times=0"));
    device(Mode::Stream, options);
    EXPECT_EQ(send_dl_security(), 1);
    EXPECT_EQ(emulator->request_count(Mode::Stream, 0x17), 10);
    EXPECT_EQ(log.text(), "");
}

TEST_F(StreamCommandTest, SecurityFailsWhenTheLineDiesInTheFurtherRead) {
    ScriptedDevice scripted;
    const Reply log_message{frame_answer(with_text({0x0E}, "busy"))};
    std::vector<Reply> replies(9, log_message);
    replies.push_back({log_message.bytes, true});
    scripted.script(replies);
    serial_port->Open(scripted.port());
    EXPECT_EQ(send_dl_security(), 0);
    EXPECT_EQ(log.text(), "Send dl security fail\n");
}

TEST_F(StreamCommandTest, SilentProgrammerFailsSecurity) {
    ScriptedDevice silent;
    serial_port->Open(silent.port());
    EXPECT_EQ(send_dl_security(), 0);
    EXPECT_EQ(log.text(), "Send dl security fail\n");
}

TEST_F(StreamCommandTest, CloseOfAnOpenImageIsConfirmed) {
    device(Mode::Stream);
    ASSERT_EQ(send_multi_image_open(nullptr, 2), 1);
    EXPECT_EQ(send_dl_close_handle(), 1);
    EXPECT_TRUE(log.text().ends_with("Close handle ok\n"));
}

TEST_F(StreamCommandTest, CloseAnsweredWithALogMessageReadsOnceMore) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("loginstead:stream:0x15"));
    device(Mode::Stream, options);
    EXPECT_EQ(send_dl_close_handle(), 1);
    EXPECT_EQ(emulator->request_count(Mode::Stream, 0x15), 1);
    EXPECT_EQ(log.text(), "Close handle fail, It's already close\n");
}

TEST_F(StreamCommandTest, CloseFailsWhenTheLineDiesInTheFurtherRead) {
    ScriptedDevice scripted;
    scripted.script({{frame_answer({0x0E}), true}});
    serial_port->Open(scripted.port());
    EXPECT_EQ(send_dl_close_handle(), 0);
    EXPECT_EQ(log.text(),
              "Close handle fail, It's already close\n"
              "send dl close handle: send dl cmd error! \n");
}

TEST_F(StreamCommandTest, CloseAnsweredWrongTenTimesFails) {
    ScriptedDevice scripted;
    scripted.script({}, {frame_answer({0x08, 0, 0, 0, 0})});
    serial_port->Open(scripted.port());
    EXPECT_EQ(send_dl_close_handle(), 0);
    EXPECT_EQ(scripted.requests().size(), 10u);
    EXPECT_EQ(log.text(), "Close handle fail\n");
}

// --- reset -------------------------------------------------------------------------------------

TEST_F(StreamCommandTest, ResetIsAcknowledged) {
    device(Mode::Stream);
    EXPECT_EQ(dl_reset(), 1);
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

class ResetFailureTest : public ProtocolTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetFailureTest, TenFailedAttemptsLogTheLastKind) {
    ScriptedDevice scripted;
    scripted.script({}, {GetParam().answer});
    serial_port->Open(scripted.port());
    EXPECT_EQ(dl_reset(), 0);
    EXPECT_EQ(scripted.requests().size(), 10u);
    EXPECT_EQ(log.text(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResetFailureTest,
    ::testing::Values(ResetCase{"ErrorWithText",
                                frame_answer(with_text({0x0D, 0x07, 0, 0, 0},
                                                       std::string("flash busy\0", 11))),
                                "Error: Download reset, flash busy\n"},
                      ResetCase{"ErrorTextUnterminatedAndUnprintable",
                                frame_answer(with_text({0x0D, 0x07, 0, 0, 0},
                                                       "bad\x01\x7e"
                                                       "block"),
                                             true),
                                "Error: Download reset, bad?~block\n"},
                      ResetCase{"ErrorWithoutText", frame_answer({0x0D, 0x07, 0, 0, 0}),
                                "Error: Download reset, \n"},
                      ResetCase{"OtherAnswer", frame_answer({0x16}), "Download reset fail\n"},
                      ResetCase{"NoAnswer", {}, "Download reset fail\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamCommandTest, ResetOnAClosedPortIsASendFailure) {
    EXPECT_EQ(dl_reset(), 0);
    EXPECT_EQ(log.text(), "dl reset, send cmd error\n");
}

}  // namespace
