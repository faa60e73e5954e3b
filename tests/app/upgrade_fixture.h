// An end-to-end run: the emulated device as a mocked USB device, a package folder with a copy of
// the program, and checks of what the device holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/mocked_usb_device.h"
#include "tests/app/program_run.h"

namespace apptest {

// Where the sample programmer is loaded and started.
constexpr std::uint32_t kProgrammerBase = 0x00800000;

// Identifiers that match none of the emulated device's ports.
constexpr const char* kForeignPort = "USB\\VID_FFFF&PID_FFFF";

class UpgradeRun : public ::testing::Test {
  protected:
    // Checks that the run left no EFS handle open on a device that was started.
    void TearDown() override;

    // The device appears in options.start_mode on the mocked USB bus.
    void start_device(emu::Options options = {}, testbed::MockedUsbDeviceOptions usb = {});
    emu::Emulator& device() { return *emulator_; }
    // A second modem of the same kind on a USB device of its own, in options.start_mode.
    void start_second_device(emu::Options options = {}, testbed::MockedUsbDeviceOptions usb = {});
    emu::Emulator& second_device() { return *second_emulator_; }

    // Runs the program; its output and log are shown when the test fails.
    RunResult run_windowless(const PackageDir& package, const RunOptions& options = {});
    // Runs the program copy that has no package beside it.
    RunResult run_windowless(const ProgramDir& program, const RunOptions& options = {});

    // The program's log of the run, and a check that each message is in it.
    void expect_logged(const PackageDir& package, const std::vector<std::string>& messages);

    // The "home" tree (files read back, ".link" files as links) and image.iso are on the device.
    void expect_copied(const PackageDir& package);
    // Nothing reached the device's file system.
    void expect_nothing_copied();
    // The device in normal mode was not even asked anything: not probed, nothing copied, not
    // switched.
    void expect_nothing_sent();
    // Programmer, partition table, the four images and their headers are on the device.
    void expect_programmer_loaded(const PackageDir& package);
    void expect_firmware_written(const PackageDir& package);

    // A run whose device never carried out a close may end with handles open; TearDown then
    // leaves them be.
    bool handles_may_stay_ = false;

  private:
    std::unique_ptr<testbed::MockedUsbDevice> usb_;
    std::unique_ptr<emu::Emulator> emulator_;
    std::unique_ptr<testbed::MockedUsbDevice> second_usb_;
    std::unique_ptr<emu::Emulator> second_emulator_;
    std::string last_output_;
    std::string last_log_;
};

}  // namespace apptest
