#include "app/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "tests/base/temp_dir.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override { log_close(); }

    TempDir docs_;
    ScopedEnv xdg_{"XDG_DOCUMENTS_DIR", docs_.path().c_str()};
};

TEST_F(LogTest, OpensDownloadDbgInTheDocumentsFolder) {
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), docs_.file("download.dbg"));
    log_write("Open in DIAG mode\n");
    log_close();
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "Open in DIAG mode\n");
    EXPECT_EQ(log_path(), "");
}

TEST_F(LogTest, SecondRunLeavesOnlyItsOwnLines) {
    ASSERT_TRUE(log_open());
    log_write("first run %d\n", 1);
    log_close();
    ASSERT_TRUE(log_open());
    log_write("second\n");
    log_close();
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "second\n");
}

TEST_F(LogTest, MessageWithoutLineEndJoinsTheNext) {
    ASSERT_TRUE(log_open());
    log_write("error: nak code 0x%x", 5);
    log_write("0x%x ", 0x7e);
    log_write("dload: check ack error! \n");
    log_close();
    EXPECT_EQ(read_file(docs_.file("download.dbg")),
              "error: nak code 0x50x7e dload: check ack error! \n");
}

TEST_F(LogTest, MessagesWithoutAnOpenLogAreDropped) {
    log_write("dropped\n");
    ASSERT_TRUE(log_open());
    log_close();
    log_write("dropped too\n");
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "");
}

TEST_F(LogTest, TwoThreadsNeverInterleaveWithinAMessage) {
    ASSERT_TRUE(log_open());
    const std::string a(200, 'a');
    const std::string b(300, 'b');
    constexpr int kMessages = 2000;
    auto writer = [](const std::string& text) {
        for (int i = 0; i < kMessages; ++i)
            log_write("%s\n", text.c_str());
    };
    std::thread first(writer, a);
    std::thread second(writer, b);
    first.join();
    second.join();
    log_close();

    std::istringstream lines(read_file(docs_.file("download.dbg")));
    std::string line;
    int seen_a = 0, seen_b = 0;
    while (std::getline(lines, line)) {
        if (line == a)
            ++seen_a;
        else if (line == b)
            ++seen_b;
        else
            FAIL() << "mixed line of " << line.size() << " characters";
    }
    EXPECT_EQ(seen_a, kMessages);
    EXPECT_EQ(seen_b, kMessages);
}

TEST_F(LogTest, FallsBackToTheCurrentFolder) {
    TempDir work;
    ScopedEnv missing("XDG_DOCUMENTS_DIR", (docs_.path() + "/absent").c_str());
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    bool opened = log_open();
    log_write("here\n");
    std::string path = log_path();
    log_close();
    std::filesystem::current_path(before);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::filesystem::canonical(path),
              std::filesystem::canonical(work.file("download.dbg")));
    EXPECT_EQ(read_file(work.file("download.dbg")), "here\n");
}

TEST_F(LogTest, UserDirsFileNamesTheFolder) {
    TempDir home;
    std::filesystem::create_directories(home.file(".config"));
    std::filesystem::create_directories(home.file("Docs"));
    write_file(home.file(".config/user-dirs.dirs"),
               "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
               "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    ScopedEnv no_env("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnv no_config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home_env("HOME", home.path().c_str());
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), home.file("Docs/download.dbg"));
}

TEST_F(LogTest, WithoutUserDirsFileDocumentsUnderHomeIsUsed) {
    TempDir home;
    std::filesystem::create_directories(home.file("Documents"));
    ScopedEnv no_env("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnv no_config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home_env("HOME", home.path().c_str());
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), home.file("Documents/download.dbg"));
}

}  // namespace
