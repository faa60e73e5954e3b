#include <unistd.h>

#include <climits>

#include "base/platform_paths.h"

std::string executable_path() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof(path))) return {};
    return std::string(path, static_cast<std::size_t>(n));
}
