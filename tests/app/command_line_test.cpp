// What the command line asks for: refused options touch nothing, --check reports without changing
// the device.
#include <gtest/gtest.h>

#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

class RefusedOption : public UpgradeRun, public ::testing::WithParamInterface<const char*> {};

// A typo or another program's option once ran a whole upgrade.
TEST_P(RefusedOption, PrintsUsageAndTouchesNothing) {
    PackageDir package({});
    start_device();

    RunOptions options;
    options.args = {"run", GetParam()};
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(std::string("unknown option ") + GetParam() + "\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Usage: "), std::string::npos);
    EXPECT_FALSE(package.exists("download.dbg"));
    expect_nothing_sent();
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedOption,
                         ::testing::Values("--dry-run", "--versoin", "-n", "-"));

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
                      "firmware: version FW 1.0.0 B001 is replaced by B002.\n")})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_EQ(device().efs_type("/router.conf"), emu::EfsType::File);
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
    EXPECT_FALSE(package.exists("download.dbg"));
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
    EXPECT_NE(run.out.find("Device: not found"), std::string::npos);
    EXPECT_NE(run.out.find("A run would be refused: the package is not usable.\n"),
              std::string::npos);
}

// Two modems of the package once got the home tree and image.iso on one and the firmware on the
// other. A run and --check count them (one in normal mode, one in its boot downloader) before
// asking anything.
struct TwoModemCase {
    const char* name;
    std::vector<std::string> args;
    int exit_status;
};

void PrintTo(const TwoModemCase& c, std::ostream* out) {
    *out << c.name;
}

class TwoModems : public UpgradeRun, public ::testing::WithParamInterface<TwoModemCase> {};

TEST_P(TwoModems, AreRefusedBeforeAnyRequest) {
    PackageDir package({});
    start_device();
    emu::Options boot_downloader;
    boot_downloader.start_mode = emu::Mode::Dload;
    start_second_device(boot_downloader);

    RunOptions options;
    options.args = GetParam().args;
    RunResult run = run_windowless(package, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, GetParam().exit_status);
    EXPECT_NE((run.out + run.err)
                  .find("2 modems of this package are plugged in: unplug all but the one to "
                        "upgrade\n"),
              std::string::npos)
        << run.out << run.err;
    EXPECT_EQ(device().requests_received(), 0);
    EXPECT_EQ(second_device().requests_received(), 0);
    expect_nothing_copied();
    EXPECT_EQ(second_device().mode(), emu::Mode::Dload);
}

INSTANTIATE_TEST_SUITE_P(Cases, TwoModems,
                         ::testing::Values(TwoModemCase{"Run", {"run"}, 2},
                                           TwoModemCase{"Check", {"--check"}, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
