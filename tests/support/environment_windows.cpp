#include <windows.h>

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "tests/support/environment.h"

std::string make_temp_folder() {
    static std::atomic<unsigned> serial{0};
    const auto base = std::filesystem::temp_directory_path();
    for (int tries = 0; tries < 1000; ++tries) {
        const auto folder = base / ("fwup-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                    std::to_string(serial++));
        std::error_code error;
        if (std::filesystem::create_directory(folder, error)) return folder.string();
    }
    throw std::runtime_error("no temporary folder");
}

void make_unopenable(const std::string& path) {
    std::filesystem::create_directory(path);
}

void set_environment(const char* name, const char* value) {
    // An empty value removes the variable on Windows.
    ::_putenv_s(name, value ? value : "");
}
