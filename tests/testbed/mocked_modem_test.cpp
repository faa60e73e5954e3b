// mocked-modem finds the program it runs as a shell would, and says at once when there is none.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "testbed/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

const char* const kMockedModem = MOCKED_MODEM;

// A shell script in dir that prints a word and exits with a status of its own.
std::string write_script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(ProgramLookup, TakesTheFirstExecutableFileAlongThePath) {
    TempDir first, second;
    first.write("tool", "not executable\n");
    const std::string found = write_script(second, "tool", "exit 0");
    EXPECT_EQ(testbed::find_program("tool", first.path() + ":" + second.path()), found);
}

TEST(ProgramLookup, NameWithASlashIsTakenAsItIs) {
    EXPECT_EQ(testbed::find_program("./tool", "/usr/bin"), "./tool");
    EXPECT_EQ(testbed::find_program("/no/such/tool", "/usr/bin"), "/no/such/tool");
}

TEST(ProgramLookup, FoldersAndMissingNamesAreNotPrograms) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("tool"));
    EXPECT_EQ(testbed::find_program("tool", dir.path()), "");
    EXPECT_EQ(testbed::find_program("fwup-no-such-program", "/usr/bin:/bin"), "");
    EXPECT_EQ(testbed::find_program("", "/usr/bin"), "");
}

// It once waited the whole time limit for a program that never started and reported a time-out.
TEST(MockedModem, ProgramFoundNowhereIsNotFoundAtOnce) {
    testbed::ChildResult result =
        testbed::run_child({kMockedModem, "--", "fwup-no-such-program", "run"}, 20000);
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exit_status, 127);
    EXPECT_NE(result.output.find("fwup-no-such-program: not found\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("ran past"), std::string::npos) << result.output;
}

TEST(MockedModem, MissingProgramWithAPathIsNotFound) {
    TempDir dir;
    const std::string missing = dir.file("fwupgrade");
    testbed::ChildResult result = testbed::run_child({kMockedModem, "--", missing}, 20000);
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exit_status, 127);
    EXPECT_NE(result.output.find(missing + ": "), std::string::npos) << result.output;
}

TEST(MockedModem, RunsAProgramFoundInPathAndPassesOnItsStatus) {
    TempDir dir;
    write_script(dir, "fwup-probe", "echo \"probe ran with $1\"\nexit 3");
    const char* path = std::getenv("PATH");
    testbed::ChildResult result =
        testbed::run_child({kMockedModem, "--", "fwup-probe", "word"}, 60000,
                           {"PATH=" + dir.path() + ":" + (path ? path : "/usr/bin:/bin")});
    ASSERT_TRUE(result.finished) << result.output;
    EXPECT_EQ(result.exit_status, 3) << result.output;
    EXPECT_NE(result.output.find("probe ran with word\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("[mocked-modem] fwup-probe exited with 3\n"), std::string::npos)
        << result.output;
}

// Each modem of a bench at its own hub port, with the serial the command line gives it alone and
// dumps of its own.
TEST(MockedModem, SeveralModemsSitAtTheirOwnHubPortsWithTheirOwnSerialsAndDumps) {
    TempDir dir;
    const std::string script = write_script(
        dir, "fwup-list", "ls /sys/bus/usb/devices\ncat /sys/bus/usb/devices/*/serial\nexit 3");
    testbed::ChildResult result =
        testbed::run_child({kMockedModem, "--modems", "2", "--for", "2", "--serial", "EMU-0002",
                            "--dump", dir.file("dumps"), "--", script},
                           60000);
    ASSERT_TRUE(result.finished) << result.output;
    // A failed run: the dumps are written without waiting for the modems to finish.
    EXPECT_EQ(result.exit_status, 3) << result.output;
    EXPECT_NE(result.output.find("1-1.1\n1-1.1:1.0\n1-1.2\n1-1.2:1.0\nEMU-0002"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("[modem 2] arrived diag /dev/ttyUSB"), std::string::npos)
        << result.output;
    for (const char* folder : {"modem1/efs", "modem1/flash", "modem2/efs", "modem2/flash"})
        EXPECT_TRUE(std::filesystem::is_directory(dir.file("dumps/") + folder)) << folder;

    result = testbed::run_child(
        {kMockedModem, "--modems", "2", "--for", "3", "--serial", "x", "--", script}, 20000);
    EXPECT_EQ(result.exit_status, 2) << result.output;
    EXPECT_NE(result.output.find("--for 3 names no modem of 2\n"), std::string::npos)
        << result.output;
}

}  // namespace
