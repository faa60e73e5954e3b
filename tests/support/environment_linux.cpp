#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/environment.h"

std::string make_temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwup-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    return pattern;
}

void make_unopenable(const std::string& path) {
    const std::filesystem::path link(path);
    std::filesystem::create_symlink(link.filename(), link);
}

void set_environment(const char* name, const char* value) {
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}
