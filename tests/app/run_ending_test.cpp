// What a windowless run's log holds when the run ends early (killed, hung up on, its output gone)
// and what is kept of the run before it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "app/history.h"
#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

TEST_F(UpgradeRun, KilledRunLeavesTheLinesWrittenBeforeTheKill) {
    PackageDir package({});
    start_device();

    RunOptions options;
    // Killed once the boot downloader is asked for: the switch and the search that found its port
    // have been logged by then, and the program never gets to close its log.
    options.interrupt_when = [this] { return device().request_count(emu::Mode::Dload, 0x06) > 0; };
    options.interrupt_signal = SIGKILL;
    RunResult run = run_windowless(package, options);

    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.end_signal, SIGKILL);
    const std::string log = package.log();
    const std::size_t switched = log.find("Switch to DLoad mode and close port \n");
    ASSERT_NE(switched, std::string::npos) << log;
    EXPECT_NE(log.find("Find my com name = USB\\VID_05C6&PID_9100 OK!!!\n", switched),
              std::string::npos)
        << log.substr(switched);
}

TEST_F(UpgradeRun, SecondStartKeepsTheFirstRunsLogIntact) {
    PackageDir package({});
    const std::string settings = package.read("settings.ini");
    package.remove("settings.ini");

    RunResult first = run_windowless(package);
    ASSERT_TRUE(first.exited);
    EXPECT_EQ(first.exit_status, 1);
    const std::string message = "package check: settings.ini: missing from " + package.path() + "/";
    EXPECT_NE(first.err.find("why: " + message + "\n"), std::string::npos) << first.err;
    const std::string first_log = package.log();
    EXPECT_EQ(first_log.rfind("fwupgrade ", 0), 0u) << first_log;
    EXPECT_NE(first_log.find(message + "\n"), std::string::npos) << first_log;

    std::ofstream(package.file("settings.ini"), std::ios::binary) << settings;
    RunResult second = run_windowless(package);
    ASSERT_TRUE(second.exited);
    int dated = 0;
    for (const auto& entry : std::filesystem::directory_iterator(package.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("download-", 0) != 0) continue;
        ++dated;
        EXPECT_EQ(read_text(entry.path().string()), first_log) << name;
    }
    EXPECT_EQ(dated, 1);
    EXPECT_EQ(package.log().find("settings.ini: missing"), std::string::npos);
    EXPECT_NE(package.log().find("start find port"), std::string::npos);
}

TEST_F(UpgradeRun, NoFolderForTheLogIsToldAtTheStartAndTheRunGoesOn) {
    PackageDir package({});
    package.remove("VELMOR");
    // The log's folder is the package folder, which is also the current one: neither takes it.
    std::filesystem::create_directory(package.file("download.dbg"));
    // Nor does the history beside it: said once, and the run still succeeds.
    std::filesystem::create_directory(package.file("history.jsonl"));
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const std::string refused = package.path() + ": Is a directory";
    EXPECT_NE(run.err.find("info: No log can be written: " + refused + "; " + refused +
                           ". Device current version is FW 1.0.0 B001, will be upgraded to B002\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "Download ok\nNo download.dbg could be written.\n");
    EXPECT_EQ(count_of(run.err, "info: The history cannot be written: " + package.path() +
                                    "/history.jsonl: Is a directory\n"),
              1)
        << run.err;
    expect_copied(package);
}

// Ctrl-C, a request to terminate and a closed terminal all stop the run at its next exchange; the
// run ends with the shell's status for the signal and tells where it left the modem, from what it
// had done (the device is not asked again).
struct Stop {
    const char* name;
    int signal;
    emu::Mode mode;  // the run is stopped once the device has had a request of this mode and code
    int code;
    bool download_mode;  // the modem was left in its boot downloader or flash programmer
    const char* logged;  // the last step the log must hold
    emu::Mode start = emu::Mode::Diag;  // the mode the modem is found in
    bool in_startup_check = false;      // stopped before any worker began
};

void PrintTo(const Stop& stop, std::ostream* os) {
    *os << stop.name;
}

const Stop kStops[] = {
    // While the device re-enumerates after the switch to download mode.
    {"AfterTheSwitchByTerminate", SIGTERM, emu::Mode::Diag, 0x3A, true,
     "Switch to DLoad mode and close port \n"},
    {"AfterTheSwitchByHangUp", SIGHUP, emu::Mode::Diag, 0x3A, true,
     "Switch to DLoad mode and close port \n"},
    // In the middle of the images' writing.
    {"MidFlashByCtrlC", SIGINT, emu::Mode::Stream, 0x07, true,
     "Send multi-image open successful\n"},
    // While the start-up check reads the version: the modem still runs its firmware.
    {"StartUpCheckByCtrlC", SIGINT, emu::Mode::Diag, 0x7C, false, "Open in DIAG mode\n",
     emu::Mode::Diag, true},
    // As soon as the start-up check has found the flash programmer left by an earlier run.
    {"FlashProgrammerFoundByCtrlC", SIGINT, emu::Mode::Stream, 0x01, true,
     "Open in Stream Download mode\n", emu::Mode::Stream, true},
};

constexpr const char* kDownloadModeLeftText =
    "The modem is in download mode: start the upgrade again to finish the firmware download";

class StoppingSignal : public UpgradeRun, public ::testing::WithParamInterface<Stop> {};

TEST_P(StoppingSignal, StopsTheRunSaysWhereTheModemIsAndKeepsTheLog) {
    const Stop& stop = GetParam();
    PackageDir package({});
    // The device holds its answer to the stopping request until the signal has been sent, so the
    // run is stopped at that exchange however slowly this test's thread is scheduled.
    std::atomic<bool> asked{false};
    std::atomic<bool> signalled{false};
    emu::Options device_options;
    device_options.start_mode = stop.start;
    device_options.on_request = [&](emu::Mode mode, const std::vector<std::uint8_t>& request) {
        if (mode != stop.mode || request.empty() || request[0] != stop.code || asked.exchange(true))
            return;
        for (int tick = 0; tick < 500 && !signalled; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    start_device(device_options);

    RunOptions options;
    options.args = {"run", "--package", package.path()};
    options.interrupt_when = [&] { return signalled = asked.load(); };
    options.interrupt_signal = stop.signal;
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited) << "ended by signal " << run.end_signal;
    EXPECT_EQ(run.exit_status, 128 + stop.signal);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find("Download has error"), std::string::npos);
    const std::string again = std::string("To start it again: ") + package.file("fwupgrade") +
                              " run --package " + package.path() + "/\n";
    const std::string told =
        stop.download_mode ? std::string(kDownloadModeLeftText) + "\n" + again : std::string();
    EXPECT_NE(
        run.err.find("Stopped by the user.\n" + told + "Log: " + package.file("download.dbg")),
        std::string::npos)
        << run.err;
    // The log was closed, so everything up to the stop is in it, and why the run ended.
    expect_logged(package, {stop.logged, "Stopped by the user\n"});
    EXPECT_EQ(package.log().find(kDownloadModeLeftText) != std::string::npos, stop.download_mode)
        << package.log();
    // A stopped worker is in the history with where it was left; a stop during the start-up check
    // came before any worker began.
    std::istringstream history(read_text(package.file(kHistoryName)));
    const HistoryRead read = read_history(history, 2, kHistoryName);
    ASSERT_EQ(read.entries.size(), stop.in_startup_check ? 0u : 1u);
    if (!read.entries.empty()) {
        EXPECT_EQ(read.entries[0].result, "stopped");
        EXPECT_TRUE(read.entries[0].failed_stage.has_value());
    }
    EXPECT_FALSE(device().finished());
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppingSignal, ::testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeRun, ClosedOutputPipeDoesNotEndTheRun) {
    // As in "fwupgrade run | head" after head has gone: every write to the output fails.
    PackageDir package({});
    package.remove("VELMOR");
    start_device();

    RunOptions options;
    options.closed_pipe = true;
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited) << "ended by signal " << run.end_signal;
    EXPECT_EQ(run.exit_status, 0);
    expect_copied(package);
    expect_logged(package, {"Open in DIAG mode\n"});
}

}  // namespace
}  // namespace apptest
