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
    // Only the disk names the device after its reset.
    PackageDir package({std::string("diag0=") + kForeignPort});
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
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

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
