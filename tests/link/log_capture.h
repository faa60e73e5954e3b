// Opens the download log in a folder of the test's own and gives back what was written to it.
#pragma once

#include <string>

#include "app/log.h"
#include "tests/base/temp_dir.h"

class LogCapture {
  public:
    LogCapture() : env_("XDG_DOCUMENTS_DIR", dir_.path().c_str()) { log_open(); }
    ~LogCapture() { log_close(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far; the log is closed to get it on disk and opened no more.
    std::string text() {
        log_close();
        return read_file(dir_.file("download.dbg"));
    }

  private:
    TempDir dir_;
    ScopedEnv env_;
};
