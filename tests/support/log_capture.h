// Opens the download log in a folder of the test's own and gives back what was written to it.
#pragma once

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "tests/support/temp_dir.h"

class LogCapture {
  public:
    LogCapture() {
        set_log_folder_override(dir_.path());
        restart();
    }
    ~LogCapture() {
        log_close();
        set_log_folder_override("");
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged since the log was (re)started; the first call closes the log to get it on
    // disk.
    std::string text() {
        if (open_) {
            log_close();
            open_ = false;
            // As text: a log written in text mode reads back with plain line ends everywhere.
            std::ifstream in(dir_.file("download.dbg"));
            text_.assign(std::istreambuf_iterator<char>(in), {});
        }
        return text_;
    }

    // How often needle occurs in the log (closes it).
    int count(const std::string& needle) {
        const std::string log = text();
        int n = 0;
        for (std::size_t at = log.find(needle); at != std::string::npos;
             at = log.find(needle, at + needle.size()))
            ++n;
        return n;
    }

    // Starts the log afresh.
    void restart() {
        if (!log_open()) throw std::runtime_error("log not opened");
        open_ = true;
        text_.clear();
    }

  private:
    TempDir dir_;
    bool open_ = false;
    std::string text_;
};
