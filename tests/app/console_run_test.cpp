// What a windowless run shows: the start-up check, the console display on a terminal and
// elsewhere, the exit status, and the options that touch no device.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "link/attempts.h"
#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

emu::Fault drop_every(int command) {
    emu::Fault fault;
    fault.kind = emu::FaultKind::Drop;
    fault.mode = emu::Mode::Diag;
    fault.command = command;
    fault.times = 0;
    return fault;
}

TEST_F(UpgradeRun, SilentDevicesStartUpCheckSaysNotInDiagModeAndTheRunFails) {
    PackageDir package({});
    emu::Options options;
    options.faults = {drop_every(-1)};
    start_device(options);

    RunOptions silent;
    silent.time_divisor = 20;  // every probe waits out its read time-outs
    RunResult run = run_windowless(package, silent);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("info: Warning: not in diag mode!\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Download has error"), std::string::npos);
    expect_logged(package, {"Open port error and close port "});
    expect_nothing_copied();
}

TEST_F(UpgradeRun, ConsoleResumingTheFlashProgrammerSaysSoAndCountsTheProbesAttemptsLeft) {
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    start_device(options);

    RunOptions resume;
    // The probe's 30 unanswered attempts before the programmer's hello last 3 s: the clock counts
    // from the run's start, so the notice 10 s of product time in shows a second or more.
    resume.time_divisor = 5;
    resume.interrupt_when = [this] { return device().request_count(emu::Mode::Stream, 0x19) > 0; };
    RunResult run = run_windowless(package, resume);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 130);
    EXPECT_NE(run.err.find("info: The modem is in download mode: this run resumes the firmware "
                           "download.\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Start resumes"), std::string::npos);
    // Told while the probe still has some of its second and third requests' attempts and the
    // hello's to make; the
    // elapsed time is the run's own.
    const std::regex notice(
        "(\\d\\d):(\\d\\d) wait: the device has not answered for \\d+ s; trying again, "
        "(\\d+) attempts left\n");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(run.err, found, notice)) << run.err;
    EXPECT_GT(std::stoi(found[1]) * 60 + std::stoi(found[2]), 0) << run.err;
    EXPECT_GE(std::stoi(found[3]), 10) << run.err;
    EXPECT_LT(std::stoi(found[3]), 3 * kAttempts) << run.err;
    EXPECT_NE(run.err.find("Stopped by the user.\nThe modem is in download mode: start the upgrade "
                           "again to finish the firmware download\n"),
              std::string::npos)
        << run.err;
}

TEST_F(UpgradeRun, UnreadableVersionIsReportedAndTheRunStillCopies) {
    PackageDir package({});
    package.remove("VELMOR");
    emu::Options options;
    options.faults = {drop_every(0x7C)};
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.err.find("info: Read Device fail, please re-plug device and try again.\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, success_output(package.path()));
    expect_copied(package);
}

TEST_F(UpgradeRun, ConsoleOnATerminalRewritesOneLineInPlace) {
    PackageDir package({});
    package.remove("VELMOR");
    start_device();

    RunOptions terminal;
    terminal.terminal = true;
    RunResult run = run_windowless(package, terminal);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    // Each redraw returns to the line start and clears it: time, bar, percentage, status.
    EXPECT_TRUE(std::regex_search(run.err, std::regex("\r\x1b\\[K[0-9][0-9]:[0-9][0-9] \\[#*-*\\] +"
                                                      "[0-9]+% Copying file to device\\.\\.\\.")))
        << run.err;
    EXPECT_NE(run.err.find("Copy file to device ok! Please restart device!"), std::string::npos);
    // The information line is printed on a line of its own when it changes.
    EXPECT_NE(run.err.find("\r\x1b[KDevice current version is FW 1.0.0 B001, will be upgraded to "
                           "B002\r\n"),
              std::string::npos);
    // The rewritten line ends in a line break at the end of the run.
    EXPECT_EQ(run.err.back(), '\n');
}

TEST_F(UpgradeRun, ConsoleElsewherePrintsOnePlainLinePerChange) {
    PackageDir package({});
    package.remove("VELMOR");
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err.find_first_of("\r\x1b\b"), std::string::npos) << run.err;
    std::istringstream lines(run.err);
    std::string line;
    std::vector<std::string> statuses;
    const std::regex status("([0-9][0-9]):([0-9][0-9]) +([0-9]+)% (.*)");
    const std::regex info("[0-9][0-9]:[0-9][0-9] info: .*");
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, status)) {
            statuses.push_back(m[4]);
        } else {
            EXPECT_TRUE(std::regex_match(line, info)) << "unexpected line: " << line;
        }
    }
    std::vector<std::string> expected = {"Finding device...", "Copying file to device...",
                                         "Copying iso file...", "Verifying iso file...",
                                         "Copy file to device ok! Please restart device!"};
    EXPECT_EQ(statuses, expected);
}

TEST_F(UpgradeRun, HelpAndVersionExitWithoutTouchingTheDevice) {
    PackageDir package({});
    start_device();

    RunOptions help;
    help.args = {"--help"};
    RunResult shown = run_windowless(package, help);
    ASSERT_TRUE(shown.exited);
    EXPECT_EQ(shown.exit_status, 0);
    for (const std::string& part :
         {"folder that holds this program: " + package.path() + "/\n",
          std::string("  settings.ini "), std::string("  VELMOR/ "), std::string("  home/ "),
          std::string("  image.iso "), std::string("download.dbg"), std::string("Exit status"),
          std::string(
              "  VELMOR/          firmware folder: NPRG6280.hex, partition.mbn, amsshd.mbn and\n"
              "                   amss.mbn decide a firmware download; with them, the other four\n"
              "                   images must be there too; without any of them, a copy-only "
              "job\n")})
        EXPECT_NE(shown.out.find(part), std::string::npos) << part;

    RunOptions version;
    version.args = {"--version"};
    RunResult named = run_windowless(package, version);
    ASSERT_TRUE(named.exited);
    EXPECT_EQ(named.exit_status, 0);
    EXPECT_TRUE(std::regex_match(named.out, std::regex("fwupgrade [0-9]+\\.[0-9]+\\.[0-9]+\n")));

    EXPECT_FALSE(package.exists("download.dbg"));
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x00), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x7C), 0);
    EXPECT_TRUE(device().present());
}

}  // namespace
}  // namespace apptest
