#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "base/platform_paths.h"

char path_separator() {
    return '/';
}

std::string native_path(std::string path) {
    return path;
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

// Not every file system keeps a birth time (statx leaves STATX_BTIME out of its mask then).
std::optional<std::int64_t> file_birth_time(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return {};
    if (info.stx_mask & STATX_BTIME) return info.stx_btime.tv_sec;
    if (info.stx_mask & STATX_MTIME) return info.stx_mtime.tv_sec;
    return {};
}

bool local_time(std::int64_t seconds, std::tm* out) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    return ::localtime_r(&time, out) != nullptr;
}
