#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "app/base/platform_paths.h"

char path_separator() {
    return '/';
}

std::string current_folder() {
    std::vector<char> buffer(4096);
    if (!::getcwd(buffer.data(), buffer.size())) return {};
    return buffer.data();
}

// Nothing locks the file; it honours the umask and is not handed to child processes.
std::FILE* open_shared_for_writing(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "w");
    if (!file) ::close(fd);
    return file;
}

bool rename_replacing(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
