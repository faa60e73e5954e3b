// The program started without arguments where no window can be shown: it says how to run without
// one and ends with status 2, instead of aborting.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/program_run.h"

namespace apptest {
namespace {

class NoDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!FWUP_PROGRAM_HAS_DIALOG) GTEST_SKIP() << "this build's program has no dialog";
    }

    // The dialog's start, in an environment that names no display but the one given (if any).
    RunResult open_dialog(const std::string& display, const std::string& folder) {
        RunOptions options;
        options.args = {};
        options.timeout = std::chrono::seconds(30);
        options.environment = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE",
                               display.empty() ? "DISPLAY" : "DISPLAY=" + display};
        return run_program_in(folder, options);
    }
    RunResult open_dialog(const std::string& display) {
        return open_dialog(display, package_.path());
    }

    // command: how the program is started without a window, after its path.
    void expect_advice(const RunResult& run, const std::string& folder = {},
                       const std::string& command = " run") {
        ASSERT_TRUE(run.exited) << run.err;
        EXPECT_EQ(run.exit_status, 2) << run.err;
        const std::string program = (folder.empty() ? package_.path() : folder) + "/fwupgrade";
        EXPECT_NE(run.err.find("To upgrade without a window, start it with a command line: " +
                               program + command + "\n" + program + " --help tells more.\n"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(package_.exists("download.dbg"));
    }

    PackageDir package_{{}};
};

TEST_F(NoDisplay, WithoutAnyDisplayTheProgramSaysHowToRunWithoutAWindow) {
    RunResult run = open_dialog("");
    expect_advice(run);
    EXPECT_EQ(run.err.rfind(
                  "fwupgrade: no display found (DISPLAY and WAYLAND_DISPLAY are not set).\n", 0),
              0u)
        << run.err;
}

// An installed program has no package beside it: a bare run would find no settings.ini.
TEST_F(NoDisplay, AProgramWithoutAPackageBesideItIsToldToNameOne) {
    ProgramDir program;
    RunResult run = open_dialog("", program.path());
    expect_advice(run, program.path(), " --package DIR run");
}

TEST_F(NoDisplay, UnreachableDisplaySaysHowToRunWithoutAWindow) {
    // A display number no X server listens on.
    const std::string display = ":99";
    if (std::filesystem::exists("/tmp/.X11-unix/X99")) GTEST_SKIP() << "display :99 exists";
    RunResult run = open_dialog(display);
    expect_advice(run);
    EXPECT_NE(run.err.find("fwupgrade: the display could not be opened.\n"), std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace apptest
