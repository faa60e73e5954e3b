#include "app/base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/text_files.h"

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

TEST_F(LogTest, EachMessageIsInTheFileAsSoonAsItIsWritten) {
    // A run that is killed never closes its log: what it wrote must already be on disk.
    ASSERT_TRUE(log_open());
    log_write("Open in DIAG mode\n");
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "Open in DIAG mode\n");
    log_write("error: nak code 0x%x", 5);
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "Open in DIAG mode\nerror: nak code 0x5");
}

TEST_F(LogTest, ByteDumpIsHexItemsEachWithATrailingBlank) {
    ASSERT_TRUE(log_open());
    const std::uint8_t bytes[] = {0x00, 0x7e, 0xff, 0x10};
    log_bytes(bytes, 4);
    log_bytes(bytes, 0);
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "0x0 0x7e 0xff 0x10 ");
}

TEST_F(LogTest, LongByteDumpIsNeverSplitByAnotherThreadsMessage) {
    ASSERT_TRUE(log_open());
    constexpr int kDumpSize = 2000;
    const std::vector<std::uint8_t> bytes(kDumpSize, 0xab);
    std::thread dumper([&] {
        for (int i = 0; i < 40; ++i)
            log_bytes(bytes.data(), kDumpSize);
    });
    std::thread writer([] {
        for (int i = 0; i < 4000; ++i)
            log_write("line\n");
    });
    dumper.join();
    writer.join();
    log_close();

    // Between two lines of the other thread lie only whole dumps.
    const std::string text = read_file(docs_.file("download.dbg"));
    int items = 0;
    int lines = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, 5, "line\n") == 0) {
            ++lines;
            ASSERT_EQ(items % kDumpSize, 0) << "a dump split after " << items << " items";
            items = 0;
        } else {
            ASSERT_EQ(text.compare(at, 5, "0xab "), 0) << "unexpected text at " << at;
            ++items;
        }
        at += 5;
    }
    EXPECT_EQ(items % kDumpSize, 0);
    EXPECT_EQ(lines, 4000);
}

TEST_F(LogTest, StartKeepsThePreviousRunsLogBesideTheNewOne) {
    for (const char* run : {"first\n", "second\n", "third\n"}) {
        ASSERT_TRUE(log_open());
        log_write("%s", run);
        log_close();
    }
    EXPECT_EQ(read_file(docs_.file("download.dbg")), "third\n");
    EXPECT_EQ(read_file(docs_.file("download.previous.dbg")), "second\n");
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
    write_file(work.file("download.dbg"), "before\n");
    bool opened = log_open();
    log_write("here\n");
    std::string path = log_path();
    log_close();
    std::filesystem::current_path(before);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::filesystem::canonical(path),
              std::filesystem::canonical(work.file("download.dbg")));
    EXPECT_EQ(read_file(work.file("download.dbg")), "here\n");
    EXPECT_EQ(read_file(work.file("download.previous.dbg")), "before\n");
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
