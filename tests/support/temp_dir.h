// A folder of its own per test, removed with everything in it afterwards, and an environment
// variable set for the life of an object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/environment.h"

class TempDir {
  public:
    TempDir() : path_(make_temp_folder()) {}
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return file(name); }

    // Writes the file and returns its full path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string full = file(name);
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return full;
    }
    std::string write(const std::string& name, const std::string& text) const {
        return write(name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }

  private:
    std::string path_;
};

// Sets an environment variable for the life of the object, then restores the old value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        set_environment(name, value);
    }
    ~ScopedEnv() { set_environment(name_.c_str(), had_ ? old_.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};
