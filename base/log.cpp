#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "base/kept_logs.h"
#include "base/platform_paths.h"

namespace {

std::mutex log_mutex;
std::string folder_override;  // guarded by log_mutex
std::FILE* log_file = nullptr;
std::string log_file_path;
std::string refusals;  // each folder that could not take the log, and why

// The log of a failed run is what the user needs when this start is a retry (or only a look at
// the dialog), so the logs before are kept beside the new one instead of being truncated away.
// folder: empty for the current folder, else ending in a separator; shown: its name for the user.
std::FILE* open_in(const std::string& folder, const std::string& shown) {
    keep_earlier_logs(folder);
    errno = 0;
    std::FILE* file = open_shared_for_writing(folder + kLogName);
    if (file) return file;
    const int reason = errno;
    if (!refusals.empty()) refusals += "; ";
    refusals +=
        shown + ": " +
        (reason ? std::generic_category().message(reason) : std::string("cannot be opened"));
    return nullptr;
}

void close_locked() {
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    log_file_path.clear();
    refusals.clear();
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
        log_file = open_in(folder, dir);
    }
    if (!log_file) {
        // The full path, so the user can be told where to look.
        const std::string here = current_folder();
        path = here.empty() ? kLogName : here + path_separator() + kLogName;
        log_file = open_in("", here.empty() ? "the current folder" : here);
    }
    if (log_file) {
        log_file_path = path;
        refusals.clear();  // the documents folder's refusal is no news once the log is written
    } else {
        refusals = "No log can be written: " + refusals;
    }
    return log_file != nullptr;
}

std::string log_notice() {
    std::lock_guard lock(log_mutex);
    return refusals;
}

void set_log_folder_override(const std::string& folder) {
    std::lock_guard lock(log_mutex);
    folder_override = folder;
}

std::vector<std::string> log_folders() {
    std::string dir;
    {
        std::lock_guard lock(log_mutex);
        dir = folder_override;
    }
    if (dir.empty()) dir = documents_dir();
    std::vector<std::string> folders;
    if (!dir.empty()) folders.push_back(dir + path_separator());
    const std::string here = current_folder();
    folders.push_back(here.empty() ? std::string() : here + path_separator());
    return folders;
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
