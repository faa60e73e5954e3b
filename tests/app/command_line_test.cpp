// What the command line asks for: refused options touch nothing, --check reports without changing
// the device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "app/history.h"
#include "app/package_check.h"
#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

struct Refused {
    const char* name;
    std::vector<std::string> args;  // "PKG" stands for the package folder
    std::string said;
};

void PrintTo(const Refused& refused, std::ostream* out) {
    *out << refused.name;
}

class RefusedOption : public UpgradeRun, public ::testing::WithParamInterface<Refused> {};

// A typo, another program's option, a forgotten "--" or a stray word once ran a whole upgrade.
TEST_P(RefusedOption, PrintsUsageAndTouchesNothing) {
    PackageDir package({});
    start_device();

    RunOptions options;
    options.args.clear();
    for (const std::string& arg : GetParam().args)
        options.args.push_back(arg == "PKG" ? package.path() : arg);
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(": " + GetParam().said + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Usage: "), std::string::npos);
    EXPECT_FALSE(package.exists("download.dbg"));
    expect_nothing_sent();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedOption,
    ::testing::Values(
        Refused{"DryRun", {"run", "--dry-run"}, "unknown option --dry-run"},
        Refused{"Typo", {"run", "--versoin"}, "unknown option --versoin"},
        Refused{"ShortOption", {"run", "-n"}, "unknown option -n"},
        Refused{"Dash", {"run", "-"}, "unknown option -"},
        Refused{"ValueForAFlag", {"--check=yes"}, "unknown option --check=yes"},
        Refused{"OtherWord",
                {"check"},
                "unknown word \"check\": only the word run starts a run without a window"},
        Refused{"WordBesidePackage",
                {"--package", "PKG", "now"},
                "unknown word \"now\": only the word run starts a run without a window"},
        Refused{"WordsAfterRun",
                {"run", "now", "please"},
                "unexpected word \"now\" after run: only options may follow it"},
        Refused{"CheckTwice", {"--check", "--check"}, "--check given twice"},
        Refused{"PackageTwice",
                {"--package", "PKG", "--package", "PKG", "run"},
                "--package given twice"},
        Refused{"PackageAlone",
                {"--package", "PKG"},
                "--package goes with run, --check, --list or --udev-rule"},
        Refused{"JsonAlone", {"--json"}, "--json goes with run, --check, --list or --history"},
        Refused{"JsonWithSeal",
                {"--seal", "PKG", "--json"},
                "--json goes with run, --check, --list or --history"},
        Refused{
            "HistoryWithRun", {"--history", "run"}, "--history reads the history and runs nothing"},
        Refused{"DeviceWithoutRun", {"--device", "1-1.2"}, "--device goes with run or --check"},
        Refused{
            "DeviceWithList", {"--list", "--device", "1-1.2"}, "--device goes with run or --check"},
        Refused{"DeviceWithoutValue",
                {"run", "--device"},
                "--device needs a USB location or a serial number"},
        Refused{"AllWithCheck", {"--check", "--all"}, "--all goes with run"},
        Refused{"AllWithDevice",
                {"run", "--all", "--device", "1-1.2"},
                "--all and --device both choose the modems: give one of them"}),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

// The history is the user's file: a line that is no entry is skipped with a warning, the others
// are shown as a table or, with --json, as one JSON document; no device is asked anything.
TEST_F(UpgradeRun, HistoryShowsTheRecordedRunsAndSkipsACorruptLine) {
    PackageDir package({});
    start_device();
    HistoryEntry done;
    done.time = "2026-12-09T10:00:00Z";
    done.location = "port 3";
    done.version_before = "FW 1.0.0 B001";
    done.version_after = "FW 1.0.1 B002";
    done.package = package.path() + "/";
    done.result = "success";
    done.duration_s = 42.5;
    HistoryEntry failed = done;
    failed.result = "failure";
    failed.failed_stage = "copying files to the device";
    failed.version_after.reset();
    {
        std::ofstream file(package.file(kHistoryName));
        file << history_line(done) << "\n{\"time\": 3}\nnot json\n" << history_line(failed) << "\n";
    }
    const std::string skipped = "warning: " + package.file(kHistoryName) + " line ";

    RunOptions json;
    json.args = {"--history", "--json"};
    RunResult listed = run_windowless(package, json);
    ASSERT_TRUE(listed.exited);
    EXPECT_EQ(listed.exit_status, 0) << listed.err;
    const nlohmann::json document = nlohmann::json::parse(listed.out, nullptr, false);
    ASSERT_TRUE(document.is_array()) << listed.out;
    ASSERT_EQ(document.size(), 2u) << listed.out;
    EXPECT_EQ(document[0]["result"], "success");
    EXPECT_EQ(document[0]["version_after"], "FW 1.0.1 B002");
    EXPECT_EQ(document[0]["duration_s"], 42.5);
    EXPECT_EQ(document[1]["failed_stage"], "copying files to the device");
    EXPECT_TRUE(document[1]["version_after"].is_null());
    EXPECT_TRUE(document[1]["serial"].is_null());
    for (const char* line : {"2", "3"})
        EXPECT_NE(listed.err.find(skipped + line + " is not a history entry; skipped\n"),
                  std::string::npos)
            << listed.err;

    RunOptions table;
    table.args = {"--history"};
    RunResult shown = run_windowless(package, table);
    ASSERT_TRUE(shown.exited);
    EXPECT_EQ(shown.exit_status, 0);
    EXPECT_EQ(count_of(shown.out, "\n"), 3) << shown.out;
    EXPECT_NE(shown.out.find("port 3    -       FW 1.0.0 B001 -> FW 1.0.1 B002  success"),
              std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("FW 1.0.0 B001 -> -              failure  copying files"),
              std::string::npos)
        << shown.out;
    EXPECT_EQ(count_of(shown.err, skipped), 2) << shown.err;
    expect_nothing_sent();
}

TEST_F(UpgradeRun, CheckTellsWhatARunWouldDoAndChangesNothing) {
    PackageDir package({"reset=1"});
    start_device();
    ASSERT_TRUE(device().efs_put_file("/router.conf", {'x'}));

    RunOptions options;
    options.args = {"--check"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.out;
    for (const std::string& part :
         {"Package folder: " + package.path() + "/\n",
          std::string("settings.ini          target version B002; /router.conf is removed first"),
          std::string("links -> /home, emptied first"), std::string("image.iso             "),
          std::string("VELMOR/NPRG6280.hex   "),
          std::string("loaded at 0x00800000, started at 0x00800000\n"),
          std::string("VELMOR/amss.mbn       "),
          std::string("normal mode (DIAG), current version FW 1.0.0 B001\n"),
          std::string("A run would copy home/ and image.iso to the device, then download the "
                      "firmware: version FW 1.0.0 B001 is replaced by B002.\n"),
          std::string("The package has no SHA256SUMS: a damaged or cut file cannot be found before "
                      "it is sent.\n")})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
    EXPECT_EQ(run.out.find("already runs"), std::string::npos) << run.out;
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_EQ(device().efs_type("/router.conf"), emu::EfsType::File);
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
    EXPECT_FALSE(package.exists("download.dbg"));
}

// No port of the device is one thing (the cable, the driver or settings.ini's identifiers, which
// the text names), a port whose device does not answer another (the modem itself).
TEST_F(UpgradeRun, CheckTellsNoPortFromAPortWhoseDeviceDoesNotAnswer) {
    emu::Options mute;
    emu::Fault drop_all;
    drop_all.kind = emu::FaultKind::Drop;
    drop_all.mode = emu::Mode::Diag;
    drop_all.command = -1;
    drop_all.times = 0;
    mute.faults = {drop_all};
    start_device(mute);
    RunOptions options;
    options.args = {"--check"};
    options.time_divisor = 20;  // every probe waits out its read time-outs

    PackageDir elsewhere({std::string("diag0=") + kForeignPort, "download0=USB\\VID_FFFF&PID_0001",
                          "savedownload0="});
    RunResult no_port = run_windowless(elsewhere, options);
    ASSERT_TRUE(no_port.exited);
    EXPECT_EQ(no_port.exit_status, 1);
    EXPECT_NE(no_port.out.find("Device: no port of the device was found (looked for "
                               "diag0=USB\\VID_FFFF&PID_FFFF, download0=USB\\VID_FFFF&PID_0001, "
                               "savedownload0=)\nA run could not start: no port of the device was "
                               "found.\n"),
              std::string::npos)
        << no_port.out;
    EXPECT_EQ(no_port.out.find("does not answer"), std::string::npos) << no_port.out;

    PackageDir package({});
    RunResult silent = run_windowless(package, options);
    ASSERT_TRUE(silent.exited);
    EXPECT_EQ(silent.exit_status, 1);
    EXPECT_NE(silent.out.find("), no answer to any of its protocols\nA run could not "
                              "start: a port was found but the device does not answer.\n"),
              std::string::npos)
        << silent.out;
    EXPECT_EQ(silent.out.find("no port"), std::string::npos) << silent.out;
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
}

// A run would go on: installing the same firmware again repairs a damaged one.
TEST_F(UpgradeRun, CheckSaysWhenTheDeviceAlreadyRunsThePackagesVersion) {
    PackageDir package({});
    emu::Options device_options;
    device_options.build_version = "FW 1.0.1 B002";
    start_device(device_options);

    RunOptions options;
    options.args = {"--check"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_NE(run.out.find("current version FW 1.0.1 B002\n  the device already runs the "
                           "package's version\nA run would copy"),
              std::string::npos)
        << run.out;
}

TEST_F(UpgradeRun, CheckOfADeviceInDownloadModeOffersTheFirmwareDownload) {
    PackageDir package({});
    emu::Options device_options;
    device_options.start_mode = emu::Mode::Dload;
    start_device(device_options);

    RunOptions options;
    options.args = {"--check"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_NE(run.out.find("download mode, boot downloader (DLOAD)\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("A run would download the firmware (version B002); nothing is "
                           "copied.\n"),
              std::string::npos);
    EXPECT_EQ(device().request_count(emu::Mode::Dload, 0x0F), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Dload, 0x05), 0);
    EXPECT_FALSE(device().go_address());
}

TEST_F(UpgradeRun, CheckOfABadPackageOrAMissingDeviceSaysWhyAndFails) {
    PackageDir package({std::string("diag0=") + kForeignPort,
                        std::string("download0=") + kForeignPort,
                        std::string("savedownload0=") + kForeignPort});
    package.remove("VELMOR/amss.mbn");
    start_device();

    RunOptions options;
    options.args = {"--check"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("Package: refused: VELMOR: the firmware set is incomplete: amss.mbn "
                           "missing"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Device: no port of the device was found (looked for "),
              std::string::npos);
    EXPECT_NE(run.out.find("A run would be refused: the package is not usable.\n"),
              std::string::npos);
}

// With --json, standard output holds the check's JSON document alone; the texts go to standard
// error. A package that is refused still has its device found and named.
TEST_F(UpgradeRun, CheckWithJsonPrintsWhatItFoundAsOneDocument) {
    PackageDir package({});
    package.remove("VELMOR/amss.mbn");
    start_device();

    RunOptions options;
    options.args = {"--check", "--json"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.out;
    EXPECT_EQ(document["package"], package.path() + "/");
    EXPECT_TRUE(document["package_version"].is_null());
    EXPECT_EQ(document["package_refusal"].get<std::string>().rfind(
                  "VELMOR: the firmware set is incomplete: amss.mbn missing", 0),
              0u)
        << run.out;
    const nlohmann::json& found = document["device"];
    ASSERT_TRUE(found.is_object()) << run.out;
    EXPECT_EQ(found["mode"], "normal");
    EXPECT_EQ(found["version"], "FW 1.0.0 B001");
    EXPECT_EQ(found["port"].get<std::string>().rfind("/dev/", 0), 0u) << run.out;
    EXPECT_TRUE(found["location"].is_string()) << run.out;
    EXPECT_EQ(document["verdict"], "not_ready");
    EXPECT_EQ(document["verdict_text"], "A run would be refused: the package is not usable.");
    EXPECT_EQ(document["exit_status"], 1);
    EXPECT_NE(run.err.find("Package: refused: VELMOR: the firmware set is incomplete"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
    expect_nothing_copied();
}

// A run with --json says on standard output, as one document, what it did: the history's entry of
// the run with why it failed and its exit status; every text goes to standard error.
TEST_F(UpgradeRun, RunWithJsonPrintsItsDocumentAlone) {
    PackageDir package({});
    start_device();
    RunOptions options;
    options.args = {"run", "--json"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.out;
    EXPECT_EQ(document["result"], "success");
    EXPECT_EQ(document["version_before"], "FW 1.0.0 B001");
    EXPECT_EQ(document["version_after"], "FW 1.0.1 B002");
    EXPECT_TRUE(document["failed_stage"].is_null());
    EXPECT_TRUE(document["reason"].is_null());
    EXPECT_EQ(document["log"], package.file("download.dbg"));
    EXPECT_TRUE(document["location"].is_string()) << run.out;
    EXPECT_GE(document["duration_s"].get<double>(), 0);
    EXPECT_EQ(document["exit_status"], 0);
    EXPECT_NE(run.err.find(success_output(package.path())), std::string::npos) << run.err;
    expect_copied(package);
    expect_firmware_written(package);
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
}

TEST_F(UpgradeRun, RunWithJsonThatFailsSaysWhereAndWhy) {
    // In its boot downloader, the modem cannot take a package without firmware.
    PackageDir copy_only({});
    copy_only.remove("VELMOR");
    emu::Options boot_downloader;
    boot_downloader.start_mode = emu::Mode::Dload;
    start_device(boot_downloader);
    RunOptions options;
    options.args = {"run", "--json"};
    RunResult run = run_windowless(copy_only, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.out;
    EXPECT_EQ(document["result"], "failure");
    EXPECT_EQ(document["failed_stage"], "finding the device");
    EXPECT_EQ(document["reason"],
              "the device is in download mode, but VELMOR holds no firmware set");
    EXPECT_TRUE(document["version_after"].is_null());
    EXPECT_EQ(document["exit_status"], 1);
    EXPECT_NE(run.err.find("Download has error"), std::string::npos) << run.err;
}

// --seal lists exactly the files the check requires, replacing whatever SHA256SUMS was there, and
// sha256sum agrees with every line; a refused package gets none. No port is opened, no log written.
TEST_F(UpgradeRun, SealWritesSumsThatSha256sumVerifiesAndRefusesABrokenPackage) {
    PackageDir package({});
    package.write("SHA256SUMS", "left over from an older package\n");
    start_device();
    Package checked;
    std::string refusal;
    ASSERT_TRUE(check_package_files(package.path() + "/", &checked, &refusal)) << refusal;
    const std::size_t files = package_files(checked).size();

    RunOptions options;
    options.args = {"--seal", package.path()};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, package.path() + "/SHA256SUMS lists " + std::to_string(files) + " files.\n");
    EXPECT_EQ(count_of(package.read("SHA256SUMS"), "\n"), static_cast<int>(files));
    const std::string verify =
        "cd '" + package.path() + "' && sha256sum --quiet --strict -c SHA256SUMS";
    EXPECT_EQ(std::system(verify.c_str()), 0);
    EXPECT_FALSE(package.exists("SHA256SUMS.tmp"));

    package.remove("VELMOR/amss.mbn");
    run = run_windowless(package, options);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("The package is refused: VELMOR: the firmware set is incomplete"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(count_of(package.read("SHA256SUMS"), "\n"), static_cast<int>(files));
    EXPECT_FALSE(package.exists("download.dbg"));
    expect_nothing_sent();
}

// Two modems of the package once got the home tree and image.iso on one and the firmware on the
// other; the programmer once went to the other modem, whose download port was there first; and a
// run that flashed its modem whole ended in "did not come back" because the other's port stayed.
// The other modem (plugged in first, in normal mode or in its boot downloader) is never asked
// anything: a run and --check refuse before any request when none is chosen, and work on the one
// --device names, by its USB location or its serial number.
constexpr const char* kOurHubPort = "3-1.2";
constexpr const char* kOurSerial = "OURS0002";
constexpr const char* kOtherHubPort = "3-1.1";
constexpr const char* kHowToChoose = "choose one with --device LOCATION or --device SERIAL\n";

struct TwoModemCase {
    const char* name;
    std::vector<std::string> args;
    emu::Mode other_mode;
    int exit_status;
    std::string said;  // in the output
};

void PrintTo(const TwoModemCase& c, std::ostream* out) {
    *out << c.name;
}

class TwoModems : public UpgradeRun, public ::testing::WithParamInterface<TwoModemCase> {};

TEST_P(TwoModems, OnlyTheChosenOneIsAskedAnything) {
    const TwoModemCase& row = GetParam();
    PackageDir package({});
    emu::Options other;
    other.start_mode = row.other_mode;
    testbed::MockedUsbDeviceOptions other_usb;
    other_usb.hub_port = kOtherHubPort;
    other_usb.serial = "OTHER0001";
    start_second_device(other, other_usb);
    testbed::MockedUsbDeviceOptions our_usb;
    our_usb.hub_port = kOurHubPort;
    our_usb.serial = kOurSerial;
    emu::Options ours;
    // Slower back from its switch than the passes that look for it: the other modem's download
    // port is the only one there for the first of them.
    ours.return_delay_ms = 6000;
    start_device(ours, our_usb);

    RunOptions options;
    options.args = row.args;
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, row.exit_status) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(row.said), std::string::npos) << run.out << run.err;
    EXPECT_EQ(second_device().requests_received(), 0);
    EXPECT_EQ(second_device().mode(), row.other_mode);
    if (row.exit_status == 2) {
        EXPECT_EQ(device().requests_received(), 0);
        // Both are listed, as --list lists them.
        const std::string said = run.out + run.err;
        EXPECT_TRUE(std::regex_search(said, std::regex("\\n3-1\\.1 +OTHER0001 +")));
        EXPECT_TRUE(std::regex_search(said, std::regex("\\n3-1\\.2 +OURS0002 +normal +")));
    }
    if (row.args.front() == "run" && row.exit_status == 0) {
        expect_copied(package);
        expect_firmware_written(package);
        expect_logged(package, {std::string("modem at USB location ") + kOurHubPort +
                                ", serial number " + kOurSerial + ", on port "});
        EXPECT_EQ(count_of(package.log(), std::string("modem at USB location ") + kOurHubPort), 4)
            << "at the start and after each re-enumeration";
    }
    if (row.exit_status != 0) expect_nothing_copied();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TwoModems,
    ::testing::Values(
        TwoModemCase{"RunChosenByLocationBesideOneInNormalMode",
                     {"run", "--device", kOurHubPort},
                     emu::Mode::Diag,
                     0,
                     "Download ok!"},
        TwoModemCase{"RunChosenBySerialBesideOneInItsBootDownloader",
                     {"run", "--device=OURS0002"},
                     emu::Mode::Dload,
                     0,
                     "Download ok!"},
        TwoModemCase{"CheckChosenByLocation",
                     {"--check", "--device", kOurHubPort},
                     emu::Mode::Dload,
                     0,
                     "current version FW 1.0.0 B001"},
        TwoModemCase{"RunWithNoneChosen",
                     {"run"},
                     emu::Mode::Dload,
                     2,
                     std::string("2 modems of this package are plugged in: ") + kHowToChoose},
        TwoModemCase{"CheckWithNoneChosen",
                     {"--check"},
                     emu::Mode::Diag,
                     2,
                     std::string("2 modems of this package are plugged in: ") + kHowToChoose},
        TwoModemCase{"RunChoosingAModemNotPluggedIn",
                     {"run", "--device", "3-1.9"},
                     emu::Mode::Diag,
                     2,
                     "--device 3-1.9: no modem of this package that is plugged in has that "
                     "location or serial number: " +
                         std::string(kHowToChoose)}),
    [](const auto& info) { return std::string(info.param.name); });

// --list names every modem of the package with its mode, and the version of the one in normal
// mode, and asks them nothing but the mode probe and the version.
class ListModems : public UpgradeRun {};

TEST_F(ListModems, NamesEachModemAndAsksOnlyItsModeAndVersion) {
    constexpr int kDloadNop = 0x06;
    constexpr int kVersion = 0x00;  // the probe's DIAG question
    constexpr int kBuildVersion = 0x7C;
    PackageDir package({});
    start_device();
    emu::Options boot_downloader;
    boot_downloader.start_mode = emu::Mode::Dload;
    start_second_device(boot_downloader);

    RunOptions options;
    options.args = {"--list"};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    ASSERT_EQ(count_of(run.out, "\n"), 3) << run.out;
    EXPECT_EQ(run.out.rfind("LOCATION  SERIAL  MODE", 0), 0u) << run.out;
    const std::string version = device().build_version();
    const std::size_t normal = run.out.find(" normal ");
    ASSERT_NE(normal, std::string::npos) << run.out;
    EXPECT_LT(normal, run.out.find(" " + version + "\n")) << run.out;
    EXPECT_NE(run.out.find(" boot downloader "), std::string::npos) << run.out;
    EXPECT_FALSE(package.exists("download.dbg"));

    EXPECT_GE(device().request_count(emu::Mode::Diag, kVersion), 1);
    EXPECT_GE(device().request_count(emu::Mode::Diag, kBuildVersion), 1);
    EXPECT_EQ(device().requests_received(),
              device().request_count(emu::Mode::Diag, kDloadNop) +
                  device().request_count(emu::Mode::Diag, kVersion) +
                  device().request_count(emu::Mode::Diag, kBuildVersion));
    EXPECT_GE(second_device().requests_received(), 1);
    EXPECT_EQ(second_device().requests_received(),
              second_device().request_count(emu::Mode::Dload, kDloadNop));
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
    EXPECT_EQ(second_device().mode(), emu::Mode::Dload);
    expect_nothing_copied();

    // The same as one JSON document; the table goes to standard error.
    options.args = {"--list", "--json"};
    run = run_windowless(package, options);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err.rfind("LOCATION  SERIAL  MODE", 0), 0u) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_array()) << run.out;
    ASSERT_EQ(document.size(), 2u) << run.out;
    std::map<std::string, nlohmann::json> by_mode;
    for (const nlohmann::json& modem : document)
        by_mode[modem["mode"].get<std::string>()] = modem;
    ASSERT_EQ(by_mode.count("normal"), 1u) << run.out;
    ASSERT_EQ(by_mode.count("boot downloader"), 1u) << run.out;
    EXPECT_EQ(by_mode["normal"]["version"], version);
    EXPECT_TRUE(by_mode["boot downloader"]["version"].is_null());
    for (const auto& [mode, modem] : by_mode) {
        EXPECT_TRUE(modem["location"].is_string()) << mode;
        EXPECT_EQ(modem["port"].get<std::string>().rfind("/dev/", 0), 0u) << mode;
    }
    EXPECT_NE(document[0]["location"], document[1]["location"]);
}

TEST_F(ListModems, SaysSoWhenNoneIsPluggedIn) {
    PackageDir package({});
    RunOptions options;
    options.args = {"--list"};
    RunResult run = run_windowless(package, options);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("No modem of this package is plugged in (looked for diag0=", 0), 0u)
        << run.out;
}

// A variable left in a user's environment once shortened every time-out of the shipped program up
// to a thousandfold: only the test build may even know the variable's name.
struct ProgramFile {
    const char* name;
    const char* path;
    bool knows_the_divisor;
};

void PrintTo(const ProgramFile& program, std::ostream* out) {
    *out << program.name;
}

class TimeDivisorSetting : public ::testing::TestWithParam<ProgramFile> {};

TEST_P(TimeDivisorSetting, IsNamedOnlyInTheTestBuild) {
    std::ifstream file(GetParam().path, std::ios::binary);
    ASSERT_TRUE(file) << GetParam().path;
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(bytes.find("FWUP_TIME_DIVISOR") != std::string::npos, GetParam().knows_the_divisor)
        << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Programs, TimeDivisorSetting,
                         ::testing::Values(ProgramFile{"Shipped", FWUPGRADE_SHIPPED_PROGRAM, false},
                                           ProgramFile{"TestBuild", FWUPGRADE_PROGRAM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
