// A program folder of the test's own, with its settings.ini, and a download log in it that the
// test can read back.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/log.h"
#include "base/settings.h"

class ProgramFolder {
  public:
    ProgramFolder() {
        char pattern[] = "/tmp/fwup-discovery-XXXXXX";
        dir_ = mkdtemp(pattern);
        set_program_folder_override(dir_ + "/");
        setenv("XDG_DOCUMENTS_DIR", dir_.c_str(), 1);
        log_open();
    }
    ~ProgramFolder() {
        log_close();
        set_program_folder_override("");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Writes settings.ini from lines such as "idnum=1".
    void write_settings(const std::string& id_section) const {
        std::ofstream(dir_ + "/settings.ini") << "[id]\n" << id_section;
    }

    // Everything logged so far; the log starts again empty.
    std::string take_log() {
        std::string path = log_path();
        log_close();
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        log_open();
        return text.str();
    }

    const std::string& dir() const { return dir_; }
    // The settings.ini of the folder, as a search is handed it.
    std::string settings() const { return dir_ + "/settings.ini"; }

  private:
    std::string dir_;
};

// How often text occurs in log.
inline int count_of(const std::string& log, const std::string& text) {
    int n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}
