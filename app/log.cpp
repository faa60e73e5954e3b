#include "app/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "app/platform_paths.h"

namespace {

std::mutex log_mutex;
std::FILE* log_file = nullptr;
std::string log_file_path;

// Nothing locks the file: the user may look at it while the program runs.
std::FILE* open_truncated(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "w");
    if (!file) ::close(fd);
    return file;
}

void close_locked() {
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    log_file_path.clear();
}

}  // namespace

bool log_open() {
    std::lock_guard lock(log_mutex);
    close_locked();
    std::string path;
    if (std::string dir = documents_dir(); !dir.empty()) {
        path = dir + "/download.dbg";
        log_file = open_truncated(path);
    }
    if (!log_file) {
        path = "download.dbg";
        log_file = open_truncated(path);
        // The full path, so the user can be told where to look.
        if (log_file) {
            char cwd[4096];
            if (::getcwd(cwd, sizeof(cwd))) path = std::string(cwd) + "/download.dbg";
        }
    }
    if (log_file) log_file_path = path;
    return log_file != nullptr;
}

void log_close() {
    std::lock_guard lock(log_mutex);
    close_locked();
}

std::string log_path() {
    std::lock_guard lock(log_mutex);
    return log_file_path;
}

void log_write(const char* format, ...) {
    std::lock_guard lock(log_mutex);
    if (!log_file || !format) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(log_file, format, args);
    va_end(args);
}

// A few dozen items per log call: the dump of a 20000-byte buffer stays cheap.
void log_bytes(const std::uint8_t* bytes, int count) {
    constexpr int kPerCall = 64;
    char text[kPerCall * 5 + 1];
    for (int start = 0; start < count; start += kPerCall) {
        int used = 0;
        for (int i = start; i < count && i < start + kPerCall; ++i) {
            used += std::snprintf(text + used, sizeof text - used, "0x%x ", bytes[i]);
        }
        log_write("%s", text);
    }
}
