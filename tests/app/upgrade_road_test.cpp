// Whole windowless runs of the program against the emulated device, from each mode the device can
// be found in, and the ways a run ends early.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>

#include "app/history.h"
#include "base/sha256.h"
#include "diag/efs_wire.h"
#include "stream/stream_wire.h"
#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

constexpr const char* kErrorBox = "Download has error, please close program and see download.dbg\n";

// The one line the run added to the history beside its log, parsed.
HistoryEntry only_history_entry(const PackageDir& package) {
    std::istringstream lines(read_text(package.file(kHistoryName)));
    const HistoryRead read = read_history(lines, 2, kHistoryName);
    EXPECT_TRUE(read.warnings.empty());
    EXPECT_EQ(read.entries.size(), 1u);
    return read.entries.empty() ? HistoryEntry{} : read.entries.front();
}

// The statuses appear in this order in the plain console output.
void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const std::string& part : parts) {
        std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part;
        at = found + part.size();
    }
}

// The share of each plain status line, in order: "mm:ss  NN% status".
std::vector<std::pair<int, std::string>> shares(const std::string& err) {
    std::vector<std::pair<int, std::string>> out;
    const std::regex line("[0-9][0-9]:[0-9][0-9] +([0-9]+)% (.*)");
    std::istringstream lines(err);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (std::regex_match(text, m, line)) out.emplace_back(std::stoi(m[1]), m[2]);
    }
    return out;
}

// The bar's range is what this package makes: it ends full, never goes back, and the image being
// sent is named with its own share.
void expect_honest_progress(const std::string& err) {
    const auto steps = shares(err);
    ASSERT_FALSE(steps.empty()) << err;
    for (std::size_t i = 1; i < steps.size(); ++i)
        EXPECT_GE(steps[i].first, steps[i - 1].first) << steps[i].second;
    EXPECT_EQ(steps.back().first, 100) << err;
    for (const auto& [share, status] : steps) {
        if (status == "Resetting device...") {
            EXPECT_GE(share, 85) << err;
        }
    }
}

// The stage lines of a log, in order: "begins: <stage>" and "ends: <stage>, <how>", each line
// opening with the time of day and each end naming how long its stage took.
std::vector<std::string> stage_lines(const std::string& log) {
    std::vector<std::string> out;
    const std::regex begins("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} stage (begins: .*)");
    const std::regex ends(
        "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} stage (ends: .*) after "
        "[0-9]+\\.[0-9]{3} s");
    std::istringstream lines(log);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (std::regex_match(text, m, begins) || std::regex_match(text, m, ends))
            out.push_back(m[1]);
    }
    return out;
}

// The log of a good run from normal mode reads as its evidence: the first block says what ran on
// which package and settings, the probe says what its failures mean and what it found, and every
// stage is timed.
void expect_evidence(const PackageDir& package, const std::string& log) {
    const std::regex first_line(
        "fwupgrade [0-9]+\\.[0-9]+\\.[0-9]+, started "
        "20[0-9]{2}-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, first_line, std::regex_constants::match_continuous))
        << log.substr(0, 200);
    const std::string block = log.substr(0, log.find("start find port"));
    for (const std::string& line :
         {"package folder: " + package.path() + "/\n",
          std::string("settings.ini: fw=B002; ports: diag0=USB\\VID_05C6&PID_9003&MI_00, "
                      "download0=USB\\VID_05C6&PID_9100, savedownload0=USB\\VID_05C6&PID_9100; "
                      "disks: mmc0=USBSTOR\\DISK&VEN_"),
          std::string("sealed: yes, SHA256SUMS is there; every file is checked against it "
                      "before anything is sent\n")})
        EXPECT_NE(block.find(line), std::string::npos) << line << "\n" << block;
    const std::string expected =
        ": asking the boot downloader (DLOAD nop, twice), normal mode (DIAG version), then the "
        "flash programmer (streaming hello); the failures logged for the protocols the device is "
        "not speaking are expected\n";
    const std::size_t probe = log.find("mode probe on port ");
    ASSERT_NE(probe, std::string::npos);
    EXPECT_NE(log.find(expected, probe), std::string::npos) << log.substr(probe, 300);
    EXPECT_LT(log.find(expected, probe), log.find("get ver", probe));
    EXPECT_NE(log.find(": normal mode (DIAG)\n", log.find("mode found on port ")),
              std::string::npos);
    EXPECT_EQ(
        stage_lines(log),
        (std::vector<std::string>{
            "begins: package check", "ends: package check, done", "begins: finding the device",
            "ends: finding the device, done", "begins: copy stage", "ends: copy stage, done",
            "begins: switch to download mode", "ends: switch to download mode, done",
            "begins: boot downloader stage", "ends: boot downloader stage, done",
            "begins: streaming stage", "ends: streaming stage, done",
            "begins: return of the device", "ends: return of the device, done"}));
}

// The package is sealed: SHA256SUMS proves it whole and the run says so in its log only. It is
// read and hashed once per run: the pipe in its home tree is skipped (and logged) once.
TEST_F(UpgradeRun, FullRoadFromNormalModeCopiesDownloadsAndSeesTheDeviceComeBack) {
    PackageDir package({});
    ASSERT_EQ(mkfifo(package.file("home/www/pipe").c_str(), 0600), 0);
    package.seal();
    start_device();
    // Left over on the device from before: "/home" is emptied first.
    ASSERT_TRUE(device().efs_put_dir("/home/old"));
    ASSERT_TRUE(device().efs_put_file("/home/old/stale.txt", {1, 2, 3}));

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    EXPECT_NE(
        run.err.find("info: Device current version is FW 1.0.0 B001, will be upgraded to B002"),
        std::string::npos)
        << run.err;
    expect_in_order(
        run.err,
        {"Finding device...", "Copying file to device...", "Going to download mode...",
         "Loading download code...", "Loading download code ok...", "Downloading partition.mbn...",
         "Downloading qcsblhd_cfgdata.mbn...", "Downloading qcsbl.mbn...",
         "Downloading oemsblhd.mbn...", "Downloading oemsbl.mbn...", "Downloading amsshd.mbn...",
         "Downloading amss.mbn...0%", "Downloading amss.mbn...100%", "Resetting device...",
         "Finding device...", "info: Device now runs version FW 1.0.1 B002\n", "Download ok!"});
    expect_honest_progress(run.err);
    EXPECT_EQ(run.err.find("Downloading amss.mbn...2%\n00:00"), std::string::npos);
    EXPECT_EQ(run.err.find("no SHA256SUMS"), std::string::npos) << run.err;
    expect_logged(package, {"package: SHA256SUMS lists 21 files, all of them match\n",
                            "Open in DIAG mode\n", "Switch to DLoad mode and close port \n",
                            "Open in DLoad mode\n", "Open in Stream Download mode\n",
                            "Download OK and close now\n", "Download reset ok, finish download\n",
                            "Device now runs version FW 1.0.1 B002\n"});
    EXPECT_EQ(count_of(package.log(), "Download OK and close now\n"), 4);
    EXPECT_EQ(count_of(package.log(), "package check: skip " + package.file("home/www/pipe")), 1);
    expect_evidence(package, package.log());

    const HistoryEntry entry = only_history_entry(package);
    EXPECT_EQ(entry.result, "success");
    EXPECT_EQ(entry.failed_stage, std::nullopt);
    EXPECT_EQ(entry.version_before, "FW 1.0.0 B001");
    EXPECT_EQ(entry.version_after, "FW 1.0.1 B002");
    EXPECT_EQ(entry.package, package.path() + "/");
    std::string sums;
    int error = 0;
    ASSERT_TRUE(sha256_file(package.file("SHA256SUMS"), &sums, &error));
    EXPECT_EQ(entry.sums_sha256, sums);
    EXPECT_EQ(entry.log, package.file("download.dbg"));
    // The hub port the modem is plugged into, as the bus names it.
    EXPECT_TRUE(std::regex_match(entry.location.value_or(""), std::regex("[0-9]+-[0-9.]+")))
        << entry.location.value_or("");
    EXPECT_TRUE(std::regex_match(entry.time, std::regex("20[0-9-]{8}T[0-9:]{8}Z"))) << entry.time;
    EXPECT_GE(entry.duration_s, 0);

    EXPECT_EQ(device().efs_type("/home/old"), emu::EfsType::None);
    expect_copied(package);
    expect_programmer_loaded(package);
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
    EXPECT_EQ(device().build_version(), "FW 1.0.1 B002");

    // The dumps the demo compares hold the same.
    ASSERT_TRUE(device().dump_flash(package.file("dump/flash")));
    EXPECT_EQ(file_bytes(package.file("dump/flash/image-5.bin")),
              file_bytes(package.file("VELMOR/amss.mbn")));
    EXPECT_EQ(file_bytes(package.file("dump/flash/header-4.bin")),
              file_bytes(package.file("VELMOR/oemsblhd.mbn")));
    EXPECT_EQ(file_bytes(package.file("dump/flash/partition.bin")),
              file_bytes(package.file("VELMOR/partition.mbn")));
    ASSERT_TRUE(device().dump_efs(package.file("dump/efs")));
    EXPECT_EQ(file_bytes(package.file("dump/efs/home/www/img/logo.bin")),
              file_bytes(package.file("home/www/img/logo.bin")));
    EXPECT_EQ(file_bytes(package.file("dump/efs/image.iso")),
              file_bytes(package.file("image.iso")));
}

TEST_F(UpgradeRun, DeviceInDloadModeGetsTheDownloadWithoutCopyOrSwitch) {
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Dload;
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    // Found on its download port, the device gets the download it waits for; a console has no
    // Start button to name.
    EXPECT_NE(run.err.find("info: The modem is in download mode: this run resumes the firmware "
                           "download.\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Copying file to device..."), std::string::npos);
    EXPECT_EQ(run.err.find("Going to download mode..."), std::string::npos);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B), 0);
    expect_logged(package, {"Open in DLoad mode\n", "Open in Stream Download mode\n",
                            "Download reset ok, finish download\n"});
    expect_nothing_copied();
    expect_programmer_loaded(package);
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

TEST_F(UpgradeRun, RunningFlashProgrammerGetsOnlyTheImages) {
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    EXPECT_EQ(run.err.find("Loading download code...\n"), std::string::npos);
    EXPECT_FALSE(device().go_address());
    EXPECT_EQ(device().request_count(emu::Mode::Dload, 0x0F), 0);
    EXPECT_EQ(package.log().find("Open in DLoad mode\n"), std::string::npos);
    expect_logged(package,
                  {"Open in Stream Download mode\n", "Download reset ok, finish download\n",
                   "the start-up check found the flash programmer; asking its hello\n"});
    // Only the start-up check probed the port: the worker took its answer instead of asking the
    // boot downloader and DIAG ten times each again.
    EXPECT_EQ(count_of(package.log(), "get ver: "), 1) << package.log();
    expect_nothing_copied();
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

// A package that lost one of the files that decide a firmware download is no copy-only job: the
// user would be told the upgrade succeeded.
TEST_F(UpgradeRun, IncompleteFirmwareSetIsRefusedBeforeTheDeviceIsTouched) {
    PackageDir package({"reset=1"});
    package.remove("VELMOR/amsshd.mbn");
    start_device();
    ASSERT_TRUE(device().efs_put_file("/router.conf", {'x'}));

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Package check failed!\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("info: VELMOR: the firmware set is incomplete: amsshd.mbn missing "
                           "beside NPRG6280.hex, partition.mbn, amss.mbn\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(std::string(kErrorBox) + "The run failed while checking the package.\n"),
              std::string::npos);
    expect_nothing_sent();
    EXPECT_EQ(device().efs_type("/router.conf"), emu::EfsType::File);
}

// The bug this catches: an amss.mbn cut to half its size was flashed and reported "Download ok".
TEST_F(UpgradeRun, CutImageInASealedPackageIsRefusedBeforeAnythingIsSent) {
    PackageDir package({});
    package.seal();
    const std::string image = package.file("VELMOR/amss.mbn");
    std::filesystem::resize_file(image, std::filesystem::file_size(image) / 2);
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("info: VELMOR/amss.mbn: damaged or cut: its SHA-256 is not the one in "
                           "SHA256SUMS\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(std::string(kErrorBox) + "The run failed while checking the package.\n"),
              std::string::npos);
    expect_nothing_sent();
}

// A sealed package's file that changes after the check, at a known point of the run: the bytes
// the run reads to send are hashed as they go and judged by the check's digests.
struct ChangedFile {
    const char* name;
    const char* file;  // changed in the package...
    emu::Mode mode;    // ...at the device's first request in this mode
    int command;       // with this first byte
    bool copied;       // the copy went through before the change
};

void PrintTo(const ChangedFile& change, std::ostream* os) {
    *os << change.name;
}

class SealedFileChanged : public UpgradeRun, public ::testing::WithParamInterface<ChangedFile> {};

TEST_P(SealedFileChanged, FailsTheRunWithTheFileBeforeItCounts) {
    const ChangedFile& change = GetParam();
    PackageDir package({});
    package.seal();
    const std::string path = package.file(change.file);
    std::once_flag once;
    emu::Options options;
    options.on_request = [&](emu::Mode mode, const std::vector<std::uint8_t>& request) {
        if (mode != change.mode || request.empty() || request[0] != change.command) return;
        std::call_once(once, [&] {
            std::string bytes = package.read(change.file);
            bytes[bytes.size() - 1] ^= 0x01;  // same size, the last byte differs
            package.write(change.file, bytes);
        });
    };
    start_device(options);
    handles_may_stay_ = true;  // an image never closed

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    const std::string reason = std::string(change.file) +
                               ": changed since the package check: its SHA-256 is not the one in "
                               "SHA256SUMS";
    EXPECT_NE(run.err.find("why: " + reason + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("info: " + reason + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(count_of(package.log(), reason), 1) << package.log();
    EXPECT_EQ(run.err.find("Download ok"), std::string::npos);
    EXPECT_FALSE(device().finished());
    EXPECT_EQ(device().request_count(emu::Mode::Stream, kStreamReset), 0);
    const auto image = device().flash_image(5);
    if (change.copied) {
        expect_copied(package);
        ASSERT_TRUE(image);
        // Streamed in part, never closed: the programmer does not make it count.
        EXPECT_FALSE(image->data.empty());
        EXPECT_LT(image->data.size(), std::filesystem::file_size(path));
        EXPECT_FALSE(image->closed);
        const auto before = device().flash_image(4);
        ASSERT_TRUE(before);
        EXPECT_TRUE(before->closed);
    } else {
        // Nothing of it went out, and the device was not switched.
        EXPECT_EQ(device().efs_file("/home/www/index.html")->size(), 0u);
        EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
        EXPECT_FALSE(image);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SealedFileChanged,
                         ::testing::Values(ChangedFile{"HomeFileBeforeTheCopy",
                                                       "home/www/index.html", emu::Mode::Diag,
                                                       kDiagSubsystemDispatch, false},
                                           ChangedFile{"ImageBeforeTheStream", "VELMOR/amss.mbn",
                                                       emu::Mode::Stream, kStreamHello, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeRun, NoFirmwareFolderMakesACopyOnlyJob) {
    // reset=1 also takes "/router.conf" off the device.
    PackageDir package({"reset=1"});
    package.remove("VELMOR");
    start_device();
    ASSERT_TRUE(device().efs_put_file("/router.conf", {'x'}));

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, success_output(package.path()));
    EXPECT_NE(run.err.find("Copy file to device ok! Please restart device!"), std::string::npos);
    // Said among the first lines, before the device is looked for.
    EXPECT_LT(run.err.find("info: The package has no SHA256SUMS: a damaged or cut file cannot be "
                           "found before it is sent.\n"),
              run.err.find("Finding device..."))
        << run.err;
    EXPECT_EQ(package.log().find("Switch to DLoad mode"), std::string::npos);
    EXPECT_EQ(device().efs_type("/router.conf"), emu::EfsType::None);
    expect_copied(package);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_FALSE(device().partition_received());
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
}

TEST_F(UpgradeRun, FailedCopyEndsTheRunBeforeAnyDownload) {
    // reset=1 on a device without "/router.conf": the copy job fails at once.
    PackageDir package({"reset=1"});
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Copy file to device fail!"), std::string::npos);
    EXPECT_NE(run.err.find(std::string(kErrorBox) +
                           "The run failed while copying files to the device.\nLog: " +
                           package.file("download.dbg")),
              std::string::npos)
        << run.err;
    expect_logged(package, {"error: unlink_efs_file(/router.conf) fail\n"});
    const HistoryEntry entry = only_history_entry(package);
    EXPECT_EQ(entry.result, "failure");
    EXPECT_EQ(entry.failed_stage, "copying files to the device");
    EXPECT_EQ(entry.version_before, "FW 1.0.0 B001");
    EXPECT_EQ(entry.version_after, std::nullopt);
    EXPECT_EQ(entry.sums_sha256, std::nullopt);  // the package is not sealed
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_FALSE(device().partition_received());
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
}

// Today's run would empty "/home", copy, switch, write the partition table and the first image
// before it met the missing one.
TEST_F(UpgradeRun, MissingImageIsRefusedBeforeTheDeviceIsTouched) {
    PackageDir package({});
    package.remove("VELMOR/qcsbl.mbn");
    start_device();
    ASSERT_TRUE(device().efs_put_file("/home/keep.txt", {1, 2}));

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("why: package check: VELMOR/qcsbl.mbn: missing\n"), std::string::npos)
        << run.err;
    expect_logged(package, {"package check: VELMOR/qcsbl.mbn: missing\n"});
    expect_nothing_sent();
    EXPECT_TRUE(device().efs_file("/home/keep.txt"));
}

// A corrupt record in the flash programmer would have been loaded into the device's memory and
// started.
TEST_F(UpgradeRun, ProgrammerWithABadChecksumIsRefusedBeforeTheDeviceIsTouched) {
    PackageDir package({});
    std::string hex = package.read("VELMOR/NPRG6280.hex");
    const std::size_t third = hex.find(":", hex.find(":", hex.find(":") + 1) + 1);
    ASSERT_NE(third, std::string::npos);
    hex[third + 9] = hex[third + 9] == '0' ? '1' : '0';  // first data digit of line 3
    package.write("VELMOR/NPRG6280.hex", hex);
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("why: package check: VELMOR/NPRG6280.hex: line 3: checksum"),
              std::string::npos)
        << run.err;
    expect_nothing_sent();
}

// A settings file that names no port once searched for one and said "Can't find device!".
TEST_F(UpgradeRun, RefusedSettingsEndTheRunBeforeAnyPortIsSearched) {
    PackageDir package({"diag0="});
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("why: package check: settings.ini: diag0 is empty, so the port of the "
                           "device in normal mode is not named\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(package.log().find("start find port"), std::string::npos) << package.log();
    expect_nothing_sent();
}

TEST_F(UpgradeRun, NoPortOfAnyTypeFailsAfterThreeSearches) {
    PackageDir package({std::string("diag0=") + kForeignPort,
                        std::string("download0=") + kForeignPort,
                        std::string("savedownload0=") + kForeignPort});
    start_device();

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("info: Error: Can't find device!"), std::string::npos);
    EXPECT_NE(run.err.find(kErrorBox), std::string::npos);
    // The start-up check's three port types, then the worker's three.
    std::string log = package.log();
    EXPECT_EQ(count_of(log, "Couldn't find com port\n"), 6) << log;
    std::string worker_part = log.substr(log.find("type = 0", log.find("type = 0") + 1));
    EXPECT_EQ(count_of(worker_part, "Couldn't find com port\n"), 3);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x00), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x7C), 0);
}

}  // namespace
}  // namespace apptest
