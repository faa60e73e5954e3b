// The shell around the worker and the console display, in this process.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/console_display.h"
#include "app/run_record.h"
#include "app/session.h"
#include "app/upgrade.h"
#include "app/worker.h"
#include "base/clock.h"
#include "base/settings.h"

namespace apptest {
namespace {

// Boxes that are counted and, when asked to, held open until released.
class HeldBoxes : public MessageBoxes {
  public:
    bool show(const std::string& text, const std::string& caption, BoxButtons,
              BoxIcon icon) override {
        std::unique_lock hold(lock_);
        texts_.push_back(caption + ": " + text);
        icons_.push_back(icon);
        changed_.notify_all();
        changed_.wait(hold, [this] { return !holding_; });
        return true;
    }
    void hold_open() { holding_ = true; }
    void release() {
        std::lock_guard hold(lock_);
        holding_ = false;
        changed_.notify_all();
    }
    bool wait_for_boxes(std::size_t count, std::chrono::seconds limit) {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, limit, [&] { return texts_.size() >= count; });
    }
    std::vector<std::string> texts() {
        std::lock_guard hold(lock_);
        return texts_;
    }
    std::vector<BoxIcon> icons() {
        std::lock_guard hold(lock_);
        return icons_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::vector<std::string> texts_;
    std::vector<BoxIcon> icons_;
};

// A program folder without settings.ini: no port is ever found, so a run fails at once.
class Shell : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            std::filesystem::temp_directory_path() / ("fwup-shell-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
        set_program_folder_override(folder_.string() + "/");
        set_message_boxes(&boxes_);
        init_globals(session_);
    }
    void TearDown() override {
        boxes_.release();
        app_cleanup(session_);
        set_message_boxes(nullptr);
        set_program_folder_override("");
        std::filesystem::remove_all(folder_);
    }

    std::filesystem::path folder_;
    HeldBoxes boxes_;
    Session session_;
};

TEST_F(Shell, FailedRunEndsWithTheErrorBox) {
    ::Run run(session_);
    EXPECT_EQ(upgrade_worker(run), 0);
    EXPECT_FALSE(run.succeeded);
    ASSERT_EQ(boxes_.texts().size(), 1u);
    EXPECT_EQ(boxes_.texts()[0],
              "Upgrade Tools: Download has error, please close program and see download.dbg\n");
    EXPECT_EQ(boxes_.icons()[0], BoxIcon::Error);
}

TEST_F(Shell, StoppedWorkerEndsWithoutABox) {
    session_.line.cancel.request();
    ::Run run(session_);
    EXPECT_EQ(upgrade_worker(run), 0);
    EXPECT_TRUE(boxes_.texts().empty());
}

TEST_F(Shell, SecondStartWhileAWorkerRunsStartsNothing) {
    boxes_.hold_open();
    ASSERT_EQ(upgrade_start(session_, nullptr), 1);
    ASSERT_TRUE(boxes_.wait_for_boxes(1, std::chrono::seconds(20)));
    EXPECT_TRUE(worker_running(session_));

    EXPECT_EQ(upgrade_start(session_, nullptr), 1);
    boxes_.release();
    stop_worker(session_);
    EXPECT_FALSE(worker_running(session_));
    EXPECT_EQ(boxes_.texts().size(), 1u);
    EXPECT_EQ(last_run_succeeded(session_), 0);

    // Once it has ended, Start runs a new worker.
    ASSERT_EQ(upgrade_start(session_, nullptr), 1);
    EXPECT_TRUE(boxes_.wait_for_boxes(2, std::chrono::seconds(20)));
    stop_worker(session_);
}

// Two sessions in one process: each takes its package from its own folder and keeps its own last
// run for the document a run without a window prints.
TEST_F(Shell, EachSessionHasItsOwnPackageFolderAndLastRun) {
    const std::filesystem::path other_folder = folder_ / "other";
    std::filesystem::create_directories(other_folder);
    Session other;
    other.package_folder.set(other_folder.string());
    EXPECT_EQ(other.package_folder.program_folder(), other_folder.string() + "/");
    EXPECT_EQ(session_.package_folder.program_folder(), folder_.string() + "/");

    ASSERT_EQ(upgrade_start(other, nullptr), 1);
    ASSERT_TRUE(boxes_.wait_for_boxes(1, std::chrono::seconds(20)));
    stop_worker(other);
    EXPECT_FALSE(take_last_run_entry(session_));
    const std::optional<HistoryEntry> entry = take_last_run_entry(other);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->package, other_folder.string() + "/");
    EXPECT_EQ(unstarted_run_entry(session_, false).package, folder_.string() + "/");

    // A folder whose path does not fit is not cut into some other folder's path.
    other.package_folder.set("/" + std::string(kPathBuffer, 'd'));
    EXPECT_EQ(other.package_folder.program_folder(), "");
}

TEST_F(Shell, FirmwareSetIsTheProgrammerThePartitionTableAndTheMainImage) {
    const std::filesystem::path firmware = folder_ / "VELMOR";
    std::filesystem::create_directories(firmware);
    const char* required[] = {"NPRG6280.hex", "partition.mbn", "amsshd.mbn", "amss.mbn"};
    for (const char* name : required)
        std::ofstream(firmware / name) << name;
    EXPECT_EQ(check_firmware_files(firmware.c_str()), 1);
    for (const char* name : required) {
        std::filesystem::rename(firmware / name, folder_ / name);
        EXPECT_EQ(check_firmware_files(firmware.c_str()), 0) << name;
        std::filesystem::rename(folder_ / name, firmware / name);
    }
    EXPECT_EQ(check_firmware_files((folder_ / "missing").c_str()), 0);
}

std::string written(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    return text;
}

TEST(ConsoleDisplay, DeviceTextCannotSteerTheTerminal) {
    std::FILE* out = std::tmpfile();
    {
        ConsoleDisplay display(out, true);
        display.set_info("Device current version is FW\x1b[2J\x07 1.0");
    }
    std::string text = written(out);
    EXPECT_EQ(text.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(text.find("FW?[2J? 1.0"), std::string::npos) << text;
    std::fclose(out);
}

TEST(ConsoleDisplay, TerminalLineNeverWrapsAndShowsTheRange) {
    std::FILE* out = std::tmpfile();
    {
        ConsoleDisplay display(out, true);
        display.set_progress(500);  // past the range: still 100%
        display.set_status(std::string(200, 'x'));
    }
    // The line as last drawn in place; the display ends it when it goes.
    std::string text = written(out);
    std::string line = text.substr(text.rfind("\r\033[K") + 4);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    // A file's width cannot be told: it counts as 80 columns, of which the line leaves the last.
    EXPECT_EQ(line.size(), 79u);
    EXPECT_NE(line.find("[####################] 100% xxx"), std::string::npos) << line;
    std::fclose(out);
}

TEST(ConsoleDisplay, PlainOutputHasOneLinePerChange) {
    std::FILE* out = std::tmpfile();
    {
        ConsoleDisplay display(out, false);
        display.set_status("Finding device...");
        display.set_status("Finding device...");
        display.set_progress(93);
        display.set_info("Warning: Do not plug out device during download process!");
        display.set_info("Warning: Do not plug out device during download process!");
        display.set_info("");
        display.set_status("Copying file to device...");
    }
    EXPECT_EQ(written(out),
              "00:00   0% Finding device...\n"
              "00:00 info: Warning: Do not plug out device during download process!\n"
              "00:00  50% Copying file to device...\n");
    std::fclose(out);
}

TEST(ConsoleDisplay, DeviceNotAnsweringIsToldOnALineOfItsOwn) {
    const std::string notice =
        "the device has not answered for 35 s; trying again, 9 attempts left";
    std::FILE* plain = std::tmpfile();
    std::FILE* terminal = std::tmpfile();
    {
        ConsoleDisplay display(plain, false);
        display.set_status("Going to download mode...");
        display.show_no_answer(notice);
        ConsoleDisplay rewritten(terminal, true);
        rewritten.set_status("Going to download mode...");
        rewritten.show_no_answer(notice);
    }
    EXPECT_EQ(written(plain), "00:00   0% Going to download mode...\n00:00 wait: " + notice + "\n");
    // Above the status line, which is drawn again below it.
    EXPECT_NE(written(terminal).find("\r\033[Kwait: " + notice +
                                     "\n\r\033[K00:00 [--------------------]   0% Going"),
              std::string::npos)
        << written(terminal);
    std::fclose(plain);
    std::fclose(terminal);
}

}  // namespace
}  // namespace apptest
