#include "base/log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/platform_paths.h"
#include "tests/support/text_files.h"

namespace {

// The log goes to a folder of the test's own in place of the documents folder. The file is read
// back as text: it is written in text mode, with the platform's line ends.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { set_log_folder_override(docs_.path()); }
    void TearDown() override {
        log_close();
        set_log_folder_override("");
    }
    std::string log_file(const char* name = kLogName) const {
        return docs_.path() + path_separator() + name;
    }
    std::string logged(const char* name = kLogName) const { return read_text_file(log_file(name)); }

    TempDir docs_;
};

TEST_F(LogTest, OpensDownloadDbgInTheDocumentsFolder) {
    ASSERT_TRUE(log_open());
    EXPECT_EQ(log_path(), log_file());
    log_write("Open in DIAG mode\n");
    log_close();
    EXPECT_EQ(logged(), "Open in DIAG mode\n");
    EXPECT_EQ(log_path(), "");
}

TEST_F(LogTest, SecondRunLeavesOnlyItsOwnLines) {
    ASSERT_TRUE(log_open());
    log_write("first run %d\n", 1);
    log_close();
    ASSERT_TRUE(log_open());
    log_write("second\n");
    log_close();
    EXPECT_EQ(logged(), "second\n");
}

TEST_F(LogTest, MessageWithoutLineEndJoinsTheNext) {
    ASSERT_TRUE(log_open());
    log_write("error: nak code 0x%x", 5);
    log_write("0x%x ", 0x7e);
    log_write("dload: check ack error! \n");
    log_close();
    EXPECT_EQ(logged(), "error: nak code 0x50x7e dload: check ack error! \n");
}

TEST_F(LogTest, EachMessageIsInTheFileAsSoonAsItIsWritten) {
    // A run that is killed never closes its log: what it wrote must already be on disk.
    ASSERT_TRUE(log_open());
    log_write("Open in DIAG mode\n");
    EXPECT_EQ(logged(), "Open in DIAG mode\n");
    log_write("error: nak code 0x%x", 5);
    EXPECT_EQ(logged(), "Open in DIAG mode\nerror: nak code 0x5");
}

TEST_F(LogTest, ByteDumpIsHexItemsEachWithATrailingBlank) {
    ASSERT_TRUE(log_open());
    const std::uint8_t bytes[] = {0x00, 0x7e, 0xff, 0x10};
    log_bytes(bytes, 4);
    log_bytes(bytes, 0);
    EXPECT_EQ(logged(), "0x0 0x7e 0xff 0x10 ");
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
    const std::string text = logged();
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

// Logs named after the time their start began; files of other names are never counted or touched.
bool is_dated_log(const std::string& name) {
    static const std::regex dated(R"(download-[0-9]{8}-[0-9]{6}(-[1-9][0-9]*)?\.dbg)");
    return std::regex_match(name, dated);
}

TEST_F(LogTest, ElevenStartsKeepTheNewestAndTheNineBeforeIt) {
    const std::vector<std::string> others = {"download-20000101-000000.txt",
                                             "download-2000.dbg",
                                             "notes.dbg",
                                             "download-20000101-000000-x.dbg",
                                             "download-20000101-0000001.dbg",
                                             "download-20000101-000000-01.dbg"};
    for (const std::string& name : others)
        write_file(log_file(name.c_str()), "other\n");
    for (int run = 1; run <= 11; ++run) {
        ASSERT_TRUE(log_open());
        log_write("run %d\n", run);
        log_close();
    }
    std::multiset<std::string> dated;
    for (const auto& entry : std::filesystem::directory_iterator(docs_.path())) {
        const std::string name = entry.path().filename().string();
        if (is_dated_log(name)) dated.insert(read_text_file(entry.path().string()));
    }
    EXPECT_EQ(logged(), "run 11\n");
    const std::multiset<std::string> expected = {"run 2\n", "run 3\n", "run 4\n",
                                                 "run 5\n", "run 6\n", "run 7\n",
                                                 "run 8\n", "run 9\n", "run 10\n"};
    EXPECT_EQ(dated, expected);
    for (const std::string& name : others)
        EXPECT_EQ(logged(name.c_str()), "other\n") << name;
}

TEST_F(LogTest, NamedLogGoesBesideDownloadDbgAndKeepsNoEarlierOne) {
    ASSERT_TRUE(log_open());
    log_write("summary\n");
    write_file(log_file("download-1-1.4.dbg"), "last start\n");
    LogSink device;
    ASSERT_TRUE(device.open_named("download-1-1.4.dbg"));
    EXPECT_EQ(device.path(), log_file("download-1-1.4.dbg"));
    device.write("Open in DIAG mode\n");
    device.close();
    EXPECT_EQ(logged("download-1-1.4.dbg"), "Open in DIAG mode\n");
    EXPECT_EQ(logged(), "summary\n");
    for (const std::string name : {"", "..", "../download.dbg", "a\\b.dbg", "c:x.dbg"}) {
        EXPECT_FALSE(device.open_named(name)) << name;
        EXPECT_EQ(device.path(), "");
        EXPECT_EQ(device.notice(), "No log can be written: \"" + name + "\" is not a file name");
    }
    EXPECT_EQ(logged(), "summary\n");
}

// The name of the log that began at seconds (local time), as a start must give it.
std::string dated_name(std::int64_t seconds, const std::string& suffix) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&time));
    return std::string("download-") + stamp + suffix + ".dbg";
}

TEST_F(LogTest, StartsWithinOneSecondKeepEachOthersLogs) {
    struct Row {
        std::vector<std::string> taken;  // suffixes of the dated logs already there
        std::string given;               // the suffix the last log gets
    };
    const std::vector<Row> rows = {{{}, ""}, {{""}, "-1"}, {{"", "-1", "-2"}, "-3"}};
    for (const Row& row : rows) {
        TempDir folder;
        set_log_folder_override(folder.path());
        ASSERT_TRUE(log_open());
        log_write("last\n");
        log_close();
        const auto began = file_birth_time(folder.file("download.dbg"));
        ASSERT_TRUE(began.has_value());
        for (const std::string& suffix : row.taken)
            write_file(folder.file(dated_name(*began, suffix)), "taken" + suffix + "\n");

        ASSERT_TRUE(log_open());
        log_close();
        EXPECT_EQ(read_text_file(folder.file(dated_name(*began, row.given))), "last\n")
            << row.given;
        for (const std::string& suffix : row.taken)
            EXPECT_EQ(read_text_file(folder.file(dated_name(*began, suffix))),
                      "taken" + suffix + "\n");
    }
}

TEST_F(LogTest, MessagesWithoutAnOpenLogAreDropped) {
    log_write("dropped\n");
    ASSERT_TRUE(log_open());
    log_close();
    log_write("dropped too\n");
    EXPECT_EQ(logged(), "");
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

    std::istringstream lines(logged());
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
    set_log_folder_override(docs_.path() + path_separator() + "absent");
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    write_file(work.file("download.dbg"), "before\n");
    bool opened = log_open();
    log_write("here\n");
    std::string path = log_path();
    const std::string notice = log_notice();
    log_close();
    std::filesystem::current_path(before);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::filesystem::canonical(path),
              std::filesystem::canonical(work.file("download.dbg")));
    EXPECT_EQ(read_text_file(work.file("download.dbg")), "here\n");
    EXPECT_EQ(notice, "");  // the log is written: nothing to tell
    int dated = 0;
    for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
        if (!is_dated_log(entry.path().filename().string())) continue;
        ++dated;
        EXPECT_EQ(read_file(entry.path().string()), "before\n");
    }
    EXPECT_EQ(dated, 1);
}

// The run goes on without a log; the notice names each folder tried and why it refused.
TEST_F(LogTest, NoFolderForTheLogIsToldWithEachFolderAndItsReason) {
    TempDir work;
    const std::string absent = docs_.path() + path_separator() + "absent";
    set_log_folder_override(absent);
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    std::filesystem::create_directory(work.file("download.dbg"));  // no file can take the name
    const bool opened = log_open();
    log_write("dropped\n");
    const std::string path = log_path();
    const std::string notice = log_notice();
    const std::string here = current_folder();
    std::filesystem::current_path(before);

    EXPECT_FALSE(opened);
    EXPECT_EQ(path, "");
    const std::string start = "No log can be written: " + absent + ": ";
    EXPECT_EQ(notice.rfind(start, 0), 0u) << notice;
    const std::size_t second = notice.find("; " + here + ": ", start.size());
    ASSERT_NE(second, std::string::npos) << notice;
    EXPECT_GT(second, start.size()) << "no reason for the documents folder: " << notice;
    EXPECT_GT(notice.size(), second + here.size() + 4) << "no reason for " << here;
    EXPECT_TRUE(std::filesystem::is_directory(work.file("download.dbg")));
}

}  // namespace
