#include "diag/diag_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "link/serial_port.h"
#include "tests/support/protocol_support.h"
#include "tests/support/scripted_device.h"

namespace {

using emu::Mode;

class ProbeTest : public ProtocolTest {
  protected:
    // The probe opens the port itself: start the device, then let go of the port.
    void start(Mode mode) {
        device(mode);
        serial_port->Close();
    }
};

TEST_F(ProbeTest, DeviceInDiagModeAnswersAfterBothNopsFail) {
    start(Mode::Diag);
    EXPECT_EQ(open_port(port), MODE_DIAG);
    EXPECT_TRUE(serial_port->IsOpen());
    EXPECT_EQ(emulator->request_count(Mode::Diag, 0x00), 1);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "dl nop: "), 2) << text;
    EXPECT_TRUE(in_order(text, {"dl nop: ", "dl nop: ", "Open in DIAG mode\n"})) << text;
    EXPECT_TRUE(text.ends_with("Open in DIAG mode\n")) << text;
}

TEST_F(ProbeTest, DeviceInBootDownloaderAnswersTheFirstNop) {
    start(Mode::Dload);
    EXPECT_EQ(open_port(port), MODE_DLOAD);
    EXPECT_TRUE(serial_port->IsOpen());
    EXPECT_EQ(emulator->request_count(Mode::Dload, 0x06), 1);
    EXPECT_EQ(log.text(), "Open in DLoad mode\n");
}

TEST_F(ProbeTest, RunningProgrammerAnswersHelloAfterNopsAndVersionFail) {
    start(Mode::Stream);
    EXPECT_EQ(open_port(port), MODE_STREAM);
    EXPECT_TRUE(serial_port->IsOpen());
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "dl nop: "), 2) << text;
    EXPECT_TRUE(
        in_order(text, {"dl nop: ", "dl nop: ", "get ver: ", "Open in Stream Download mode\n"}))
        << text;
    EXPECT_TRUE(text.ends_with("Open in Stream Download mode\n")) << text;
}

TEST_F(ProbeTest, PortThatDoesNotExistCannotBeOpened) {
    EXPECT_EQ(open_port(9999), MODE_NONE);
    EXPECT_EQ(open_dl_port(9998), 0);
    EXPECT_FALSE(serial_port->IsOpen());
    EXPECT_EQ(log.text(),
              "can't open port! 9999\ncannot open port 9999, port 9999 is not known\n"
              "can't open dl port! 9998\ncannot open port 9998, port 9998 is not known\n");
}

TEST_F(ProbeTest, SilentDeviceGivesNoneAndClosesThePort) {
    ScriptedDevice silent;
    EXPECT_EQ(open_port(silent.port()), MODE_NONE);
    EXPECT_FALSE(serial_port->IsOpen());
    // Two nops, the version request and the hello, ten attempts each.
    EXPECT_EQ(silent.requests().size(), 40u);
    const std::string text = log.text();
    EXPECT_TRUE(
        in_order(text, {"dl nop: check crc error! \n", "dl nop: check crc error! \n",
                        "get ver: check crc error! \n", "send dl hello: recv bad cmd error! \n",
                        "Open port error and close port " + std::to_string(silent.port()) + "\n"}))
        << text;
}

TEST_F(ProbeTest, DownloadPortOpensOnARunningProgrammerOnly) {
    start(Mode::Stream);
    EXPECT_EQ(open_dl_port(port), MODE_DLOAD);
    EXPECT_TRUE(serial_port->IsOpen());
    EXPECT_EQ(log.text(), "Open in Stream Download mode\n");
}

TEST_F(ProbeTest, SilentDownloadPortIsClosed) {
    ScriptedDevice silent;
    EXPECT_EQ(open_dl_port(silent.port()), 0);
    EXPECT_FALSE(serial_port->IsOpen());
    EXPECT_EQ(log.text(),
              "send dl hello: recv bad cmd error! \nOpen port error and close dl port " +
                  std::to_string(silent.port()) + "\n");
}

class DiagCommandTest : public ProtocolTest {};

TEST_F(DiagCommandTest, VersionRequestAnsweredWithErrorTenTimesFails) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("diagerr:diag:0x00:times=0"));
    device(Mode::Diag, options);
    EXPECT_EQ(get_ver(), 0);
    EXPECT_EQ(emulator->request_count(Mode::Diag, 0x00), 10);
    EXPECT_EQ(log.text(), "get ver: recv bad cmd error! \n");
}

TEST_F(DiagCommandTest, CommandsOnAClosedPortFailAsSendErrors) {
    EXPECT_EQ(get_ver(), 0);
    EXPECT_EQ(retry_get_build_ver(), nullptr);
    EXPECT_EQ(switch_dl_mode(), 0);
    EXPECT_EQ(log.text(),
              "get ver: send cmd error! \nretry_get_build_ver: send cmd error! \n"
              "switch dl mode: send cmd error! \n");
}

TEST_F(DiagCommandTest, BuildVersionIsTheAnswersText) {
    emu::Options options;
    options.build_version = "FW 2.3.4 B077";
    device(Mode::Diag, options);
    const char* version = retry_get_build_ver();
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "FW 2.3.4 B077");
    EXPECT_EQ(log.text(), "");
}

TEST_F(DiagCommandTest, EmptyBuildVersionFailsAfterTenAttempts) {
    emu::Options options;
    options.build_version = "";
    device(Mode::Diag, options);
    EXPECT_EQ(retry_get_build_ver(), nullptr);
    EXPECT_EQ(emulator->request_count(Mode::Diag, 0x7C), 10);
    EXPECT_EQ(log.text(), "retry_get_build_ver: get length error! \n");
}

TEST_F(DiagCommandTest, BuildVersionWithoutItsNulIsCutToTheTextBuffer) {
    ScriptedDevice scripted;
    Bytes endless(12, 0x7C);
    endless.resize(2000, 'A');  // no NUL, no closing flag: raw bytes to the end
    Bytes short_answer(12, 0x7C);
    for (char c : std::string("V2"))
        short_answer.push_back(static_cast<std::uint8_t>(c));
    short_answer.push_back(0);
    scripted.script({{endless}, {short_answer}});
    serial_port->Open(scripted.port());

    const char* version = retry_get_build_ver();
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::string(version), std::string(127, 'A'));
    // The longer answer before must not show through behind a shorter one.
    version = retry_get_build_ver();
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, "V2");
}

TEST_F(DiagCommandTest, AcceptedSwitchClosesThePort) {
    device(Mode::Diag);
    EXPECT_EQ(switch_dl_mode(), 1);
    EXPECT_FALSE(serial_port->IsOpen());
    EXPECT_EQ(emulator->request_count(Mode::Diag, 0x3A), 1);
    EXPECT_EQ(log.text(), "Switch to DLoad mode and close port \n");
}

TEST_F(DiagCommandTest, RefusedSwitchLeavesThePortOpen) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("diagerr:diag:0x3a:times=0"));
    device(Mode::Diag, options);
    EXPECT_EQ(switch_dl_mode(), 0);
    EXPECT_TRUE(serial_port->IsOpen());
    EXPECT_EQ(log.text(), "switch dl mode: recv bad cmd error! \n");
}

}  // namespace
