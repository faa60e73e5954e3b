#include "app/base/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "app/base/platform_paths.h"

namespace {

std::mutex log_mutex;
std::string folder_override;  // guarded by log_mutex
std::FILE* log_file = nullptr;
std::string log_file_path;

// The last run's log is what the user needs when this start is a retry after a failure, so it is
// kept beside the new one (replacing an older one) instead of being truncated away.
void keep_previous(const std::string& folder) {
    rename_replacing(folder + kLogName, folder + kPreviousLogName);
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
    if (std::string dir = folder_override.empty() ? documents_dir() : folder_override;
        !dir.empty()) {
        const std::string folder = dir + path_separator();
        path = folder + kLogName;
        keep_previous(folder);
        log_file = open_shared_for_writing(path);
    }
    if (!log_file) {
        path = kLogName;
        keep_previous("");
        log_file = open_shared_for_writing(path);
        // The full path, so the user can be told where to look.
        const std::string here = current_folder();
        if (log_file && !here.empty()) path = here + path_separator() + kLogName;
    }
    if (log_file) log_file_path = path;
    return log_file != nullptr;
}

void set_log_folder_override(const std::string& folder) {
    std::lock_guard lock(log_mutex);
    folder_override = folder;
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
    // A run that is killed or crashes still leaves every line it wrote.
    std::fflush(log_file);
}

// One message for the whole dump: each message is flushed on its own, and a 20000-byte buffer
// written in pieces would cost hundreds of writes.
void log_bytes(const std::uint8_t* bytes, int count) {
    if (!bytes || count <= 0) return;
    std::string text;
    text.reserve(static_cast<std::size_t>(count) * 5);
    char item[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, "0x%x ", bytes[i]);
        text += item;
    }
    log_write("%s", text.c_str());
}
