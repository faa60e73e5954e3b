// How a run finds the device again: after the switch to download mode, and after the final reset.
#include <gtest/gtest.h>

#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

constexpr const char* kErrorBox = "Download has error, please close program and see download.dbg\n";

std::string after(const std::string& text, const std::string& marker) {
    std::size_t at = text.find(marker);
    return at == std::string::npos ? std::string() : text.substr(at + marker.size());
}

TEST_F(UpgradeRun, BootDownloaderListedOnlyAsDiagPortIsNotFoundAfterTheSwitch) {
    // diag1 names the boot downloader's port; the download identifiers name nothing present.
    PackageDir package(
        {"idnum=2", "diag1=USB\\VID_05C6&PID_9100", std::string("download0=") + kForeignPort,
         std::string("download1=") + kForeignPort, std::string("savedownload0=") + kForeignPort,
         std::string("savedownload1=") + kForeignPort});
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find(kErrorBox), std::string::npos);
    std::string passes = after(package.log(), "Switch to DLoad mode and close port \n");
    EXPECT_EQ(count_of(passes, "Couldn't find com port\n"), 12) << passes;
    EXPECT_EQ(count_of(passes, "start find diag port\n"), 0);
    EXPECT_EQ(device().mode(), emu::Mode::Dload);
    EXPECT_FALSE(device().go_address());
}

TEST_F(UpgradeRun, DeviceThatStaysAwayAfterTheResetFailsTheRun) {
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    options.return_after_reset = false;
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    // Why, and where the run stopped, beside the box.
    const std::size_t why = run.err.find("why: the device did not come back within 15 s\n");
    ASSERT_NE(why, std::string::npos) << run.err;
    EXPECT_GT(why, run.err.rfind("Finding device...\n"));
    EXPECT_NE(run.err.find(std::string(kErrorBox) +
                           "The run failed while waiting for the device to come back.\n"),
              std::string::npos)
        << run.err;
    expect_logged(package, {"the device did not come back within 15 s\n",
                            "failed while waiting for the device to come back\n"});
    expect_logged(package, {"Download reset ok, finish download\n"});
    expect_firmware_written(package);
    EXPECT_FALSE(device().present());
}

TEST_F(UpgradeRun, DeviceComingBackAsDiskEndsTheRunWithSuccess) {
    // The disk comes up before the port: the device is back, and its diag port is waited for.
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    testbed::MockedUsbDeviceOptions usb;
    usb.disk_after_reset = true;
    start_device(options, usb);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    std::string returned = after(package.log(), "Download reset ok, finish download\n");
    EXPECT_NE(returned.find("Found match mmc USBSTOR\\DISK&VEN_VENDOR&PROD_MMC_STORAGE"),
              std::string::npos)
        << returned;
    EXPECT_NE(returned.find("Device now runs version FW 1.0.1 B002\n"), std::string::npos);
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

// The device comes back after its final reset but does not prove that it runs the package's
// firmware: the run fails after the firmware was written, and the success box is not shown.
struct UnprovenReturn {
    const char* name;
    const char* new_version;  // what the device reports after its reset
    const char* fault;        // the emulator's fault; empty: none
    bool disk_only;           // only its disk names it when it is back: its diag port is foreign
    const char* reason;
    const char* info;  // the information line the console shows; empty: no version was read
};

void PrintTo(const UnprovenReturn& row, std::ostream* os) {
    *os << row.name;
}

const UnprovenReturn kUnproven[] = {
    {"OtherVersion", "FW 1.0.1 B003", "", false,
     "the device came back with version FW 1.0.1 B003; the package installs B002",
     "Device now runs version FW 1.0.1 B003"},
    {"VersionUnanswered", "FW 1.0.1 B002", "drop:diag:0x7c:every", false,
     "the device came back, but did not answer the version request", ""},
    {"DiagPortNeverShows", "FW 1.0.1 B002", "", true,
     "the device came back, but its diag port did not show up within 10 s", ""},
};

class ReturnCheck : public UpgradeRun, public ::testing::WithParamInterface<UnprovenReturn> {};

TEST_P(ReturnCheck, FailsTheRunAfterTheFirmwareWasWritten) {
    const UnprovenReturn& row = GetParam();
    PackageDir package(row.disk_only
                           ? std::vector<std::string>{std::string("diag0=") + kForeignPort}
                           : std::vector<std::string>{});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    options.new_build_version = row.new_version;
    if (row.fault[0]) options.faults.push_back(*emu::Fault::parse(row.fault));
    testbed::MockedUsbDeviceOptions usb;
    usb.disk_after_reset = row.disk_only;
    start_device(options, usb);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(std::string("why: ") + row.reason + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string(kErrorBox) +
                           "The run failed while checking the version after the return.\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Download ok"), std::string::npos);
    expect_logged(package, {std::string(row.reason) + "\n",
                            "failed while checking the version after the return\n"});
    if (row.info[0]) {
        EXPECT_NE(run.err.find(std::string("info: ") + row.info + "\n"), std::string::npos);
    } else {
        EXPECT_EQ(run.err.find("Device now runs version"), std::string::npos);
    }
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

INSTANTIATE_TEST_SUITE_P(Rows, ReturnCheck, ::testing::ValuesIn(kUnproven),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeRun, DeviceComingBackAsPortEndsTheRunWithSuccess) {
    // No disk identifiers: the returning diag port is what is found.
    PackageDir package({"mmc0="});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    std::string returned = after(package.log(), "Download reset ok, finish download\n");
    EXPECT_EQ(returned.find("Found match mmc"), std::string::npos);
    EXPECT_NE(returned.find("Find my com name = USB\\VID_05C6&PID_9003&MI_00 OK!!!\n"),
              std::string::npos)
        << returned;
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace apptest
