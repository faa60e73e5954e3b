// Where one run writes its log and tells its reasons.
//
// Each device worked on has a run of its own, and each run a sink of its own: its log file, the
// reasons it told and who listens to them, and its notices of a device that does not answer. Two
// runs at once thus never mix their lines, and never count each other's reasons.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class Clock;

// The digests the run's package check kept, for the files the run sends (base/sent_file.h), and
// the first file found changed since.
struct ExpectedDigests {
    std::mutex lock;
    std::string folder;
    std::map<std::string, std::string> digests;
    std::string changed;  // the first reason told
};

class LogSink {
  public:
    using Listener = std::function<void(const std::string& text)>;

    LogSink() = default;
    ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // Opens download.dbg as a new file, in the first of log_folders() that takes it; an earlier
    // download.dbg there is first kept under the time its start began (see log_open).
    bool open();
    // Opens name as a new file in the same folders, in the same order, as open does; an earlier
    // file of that name is replaced, not kept. A name that is not a plain file name (empty, "..",
    // or with a folder separator or a colon) is refused, with notice saying so.
    bool open_named(const std::string& name);
    // Closes (and so flushes) the file. Nothing is written after it.
    void close();
    // Full path of the open file, empty when none is open.
    std::string path() const;
    // Empty while a file is open; after an opening that failed, why (see log_notice).
    std::string notice() const;

    // Appends one printf-style message, whole, under the sink's lock, and flushes it to the file.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void write_list(const char* format, std::va_list args);
    // count bytes as "0x%x " items (each with its trailing blank), with no line end.
    void bytes(const std::uint8_t* bytes, int count);

    // Logs the reason with a line end and hands it to the listener (see reasons.h).
    void tell_reason(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void tell_reason_list(const char* format, std::va_list args);
    // Installs the listener (an empty function removes it); from any thread.
    void set_reason_listener(Listener listener);
    // How many reasons this sink has told since it was made.
    int reasons_told() const { return told_.load(); }

    // A device that has been silent on clock for silent, with attempts_left: told to the notice
    // listener once the silence is long enough, then at most once in a gap (see reasons.h).
    void tell_no_answer(Clock& clock, int attempts_left, std::chrono::milliseconds silent);
    void set_no_answer_listener(Listener listener);
    // The next notice is shown at once, however soon after the last one.
    void restart_no_answer_notices();

    // What the files this run sends are judged against.
    ExpectedDigests& expected_digests() { return expected_; }

  private:
    bool open_file(const std::string& name, bool keep_earlier);
    std::FILE* open_in(const std::string& folder, const std::string& shown, const std::string& name,
                       bool keep_earlier);
    void close_locked();

    mutable std::mutex file_mutex_;
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string refusals_;  // each folder that could not take the file, and why

    std::mutex listener_mutex_;
    Listener listener_;
    std::atomic<int> told_{0};

    std::mutex notice_mutex_;
    Listener notice_listener_;
    bool notice_shown_ = false;
    std::chrono::steady_clock::time_point last_notice_;

    ExpectedDigests expected_;
};

// The sink of the program's own run: download.dbg and the reasons its console or dialog shows.
// The free functions of log.h and reasons.h act on it.
LogSink& program_log();
