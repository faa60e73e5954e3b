// --package: an installed program has no package beside it and is pointed at one elsewhere.
// Everything is then taken from that folder; the log stays where it goes.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

TEST_F(UpgradeRun, RunWithPackageTakesEverythingFromThatFolder) {
    PackageDir package({});
    package.remove("fwupgrade");  // only the program without a package runs
    ProgramDir program;
    start_device();

    RunOptions options;
    options.args = {"run", "--package", package.path()};
    RunResult run = run_windowless(program, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, success_output(program.path()));
    expect_copied(package);
    expect_programmer_loaded(package);
    expect_firmware_written(package);
    // The log goes to the documents folder as always, not into the package.
    EXPECT_NE(program.log().find("Open in DIAG mode\n"), std::string::npos);
    EXPECT_FALSE(package.exists("download.dbg"));
}

TEST_F(UpgradeRun, CheckWithPackageReadsThatFolderAndChangesNothing) {
    PackageDir package({});
    ProgramDir program;
    start_device();

    RunOptions options;
    options.args = {"--check", "--package=" + package.path()};
    RunResult run = run_windowless(program, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Package folder: " + package.path() + "/\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("A run would copy home/ and image.iso to the device, then download "
                           "the firmware"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 0);
    EXPECT_FALSE(std::filesystem::exists(program.file("download.dbg")));
}

// The help of an installed program once named its own folder (/usr/bin) as the place of
// settings.ini and the firmware; it now says what --package is and that it is needed there. Beside
// a package it names that folder, and it names the folder the log goes to.
TEST_F(UpgradeRun, HelpSaysWhereThePackageIsTakenFromAndWhenPackageIsNeeded) {
    PackageDir package({});
    ProgramDir program;
    RunOptions options;
    options.args = {"--help"};
    const std::string from_here = "without --package, the\nfolder that holds this program: ";
    const std::string none_here =
        "That folder holds no settings.ini (an installed program has no "
        "package beside it),\nso a run without a window and --check "
        "need --package DIR there.\n";

    RunResult run = run_program(program, options);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.out.find(from_here + program.path() + "/\n" + none_here), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("written to your documents folder\n  " + program.path() + "\n"),
              std::string::npos)
        << run.out;

    run = run_program(package, options);
    ASSERT_TRUE(run.exited);
    EXPECT_NE(run.out.find(from_here + package.path() + "/\n\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("holds no settings.ini"), std::string::npos) << run.out;
}

// Without a package beside it, a program not pointed at one finds no settings.ini and says so.
TEST_F(UpgradeRun, CheckWithoutPackageBesideTheProgramNamesTheMissingSettings) {
    ProgramDir program;
    start_device();

    RunOptions options;
    options.args = {"--check"};
    RunResult run = run_windowless(program, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("Package: refused: settings.ini"), std::string::npos) << run.out;
    expect_nothing_sent();
}

struct RefusedPackage {
    std::string name;
    std::vector<std::string> args;
    std::string said;
};

void PrintTo(const RefusedPackage& refused, std::ostream* out) {
    *out << refused.name;
}

class PackageRefused : public UpgradeRun, public ::testing::WithParamInterface<RefusedPackage> {};

// A folder that is not there must not fall back on the program folder, nor start anything.
TEST_P(PackageRefused, PrintsUsageAndTouchesNothing) {
    ProgramDir program;
    start_device();

    RunOptions options;
    options.args = GetParam().args;
    RunResult run = run_windowless(program, options);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(GetParam().said), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Usage: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("[--package DIR]"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(program.file("download.dbg")));
    expect_nothing_sent();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackageRefused,
    ::testing::Values(
        RefusedPackage{"NoFolderAtTheEnd", {"run", "--package"}, "--package needs a folder\n"},
        RefusedPackage{"OptionForAFolder", {"--package", "--check"}, "--package needs a folder\n"},
        RefusedPackage{"MissingFolder",
                       {"run", "--package", "/no/such/package"},
                       "--package: no such folder: /no/such/package\n"},
        RefusedPackage{"MissingFolderAfterEquals",
                       {"--check", "--package=/no/such/package"},
                       "--package: no such folder: /no/such/package\n"},
        RefusedPackage{"FileInsteadOfAFolder",
                       {"run", "--package", "/etc/passwd"},
                       "--package: not a folder: /etc/passwd\n"}),
    [](const ::testing::TestParamInfo<RefusedPackage>& info) { return info.param.name; });

}  // namespace
}  // namespace apptest
