// Programs started beside the testbed meet its devices, as the tool does in the demo.
#include <signal.h>

#include <chrono>

#include <gtest/gtest.h>

#include "emulator/emulator.h"
#include "testbed/child_process.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/testbed.h"
#include "tests/discovery/program_folder.h"

namespace {

using namespace std::chrono_literals;
using testbed::Testbed;

const char* const kProbe = DISCOVERY_PROBE;

TEST(ChildProgram, SeesTheMockedPorts) {
    ProgramFolder folder;
    testbed::UsbPortSpec config;
    config.product_id = 0x9004;
    testbed::FakeDevice modem = Testbed::instance().add_port(config);
    testbed::ChildResult result = testbed::run_child({kProbe, folder.dir(), "ports"}, 20000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_status, 0) << result.output;
    EXPECT_NE(result.output.find(modem.device_node + " USB\\VID_05C6&PID_9004&MI_00\\"),
              std::string::npos)
        << result.output;
    Testbed::instance().remove(modem);
}

TEST(ChildProgram, HearsTheModemLeaveAndReturnAndFindsItInDownloadMode) {
    ProgramFolder folder;
    folder.write_settings(
        "idnum=1\ndiag0=USB\\VID_05C6&PID_9003&MI_00\ndownload0=USB\\VID_05C6&PID_9100\n");
    testbed::MockedUsbDevice usb;
    emu::Options options;
    options.provider = &usb;
    emu::Emulator modem(options);
    ASSERT_TRUE(modem.start()) << modem.error();
    ASSERT_TRUE(modem.wait_for(emu::Mode::Diag, 10s));

    testbed::ChildResult result = testbed::run_child({kProbe, folder.dir(), "switch"}, 30000);
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.output.find(" mode 1\nswitch 1\nevent 0x8004\nevent 0x8000\ndownload port "),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find(" mode 2\n"), std::string::npos) << result.output;
    modem.stop();
}

TEST(ChildProgram, IsStoppedAtItsTimeLimit) {
    testbed::ChildResult result = testbed::run_child({"/bin/sleep", "60"}, 200);
    EXPECT_FALSE(result.finished);
    EXPECT_EQ(result.signal, SIGKILL);
}

TEST(ChildProgram, ReportsExitStatusAndOutput) {
    testbed::ChildResult result =
        testbed::run_child({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 20000);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exit_status, 3);
    EXPECT_EQ(result.output, "out\nerr\n");
}

}  // namespace
