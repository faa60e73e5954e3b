#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "base/kept_logs.h"
#include "base/platform_paths.h"

namespace {

// The folder the tests give every log in place of the documents folder: the machine's, not a
// run's, so each sink's file lands beside the others.
std::mutex override_mutex;
std::string folder_override;  // guarded by override_mutex

std::string documents_or_override() {
    {
        std::lock_guard lock(override_mutex);
        if (!folder_override.empty()) return folder_override;
    }
    return documents_dir();
}

}  // namespace

LogSink::~LogSink() {
    close();
}

// The log of a failed run is what the user needs when this start is a retry (or only a look at
// the dialog), so the logs before are kept beside the new one instead of being truncated away.
// folder: empty for the current folder, else ending in a separator; shown: its name for the user.
std::FILE* LogSink::open_in(const std::string& folder, const std::string& shown,
                            const std::string& name, bool keep_earlier) {
    if (keep_earlier) keep_earlier_logs(folder);
    errno = 0;
    std::FILE* file = open_shared_for_writing(folder + name);
    if (file) return file;
    const int reason = errno;
    if (!refusals_.empty()) refusals_ += "; ";
    refusals_ +=
        shown + ": " +
        (reason ? std::generic_category().message(reason) : std::string("cannot be opened"));
    return nullptr;
}

void LogSink::close_locked() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    path_.clear();
    refusals_.clear();
}

bool LogSink::open_file(const std::string& name, bool keep_earlier) {
    std::lock_guard lock(file_mutex_);
    close_locked();
    std::string path;
    if (std::string dir = documents_or_override(); !dir.empty()) {
        const std::string folder = dir + path_separator();
        path = folder + name;
        file_ = open_in(folder, dir, name, keep_earlier);
    }
    if (!file_) {
        // The full path, so the user can be told where to look.
        const std::string here = current_folder();
        path = here.empty() ? name : here + path_separator() + name;
        file_ = open_in("", here.empty() ? "the current folder" : here, name, keep_earlier);
    }
    if (file_) {
        path_ = path;
        refusals_.clear();  // the documents folder's refusal is no news once the log is written
    } else {
        refusals_ = "No log can be written: " + refusals_;
    }
    return file_ != nullptr;
}

bool LogSink::open() {
    return open_file(kLogName, true);
}

bool LogSink::open_named(const std::string& name) {
    // The name may carry a device's own text (its USB location): it must not reach another folder
    // (nor, on Windows, a drive or a file's alternate stream).
    if (name.empty() || name.find_first_of("/\\:") != std::string::npos || name == "." ||
        name == "..") {
        std::lock_guard lock(file_mutex_);
        close_locked();
        refusals_ = "No log can be written: \"" + name + "\" is not a file name";
        return false;
    }
    return open_file(name, false);
}

void LogSink::close() {
    std::lock_guard lock(file_mutex_);
    close_locked();
}

std::string LogSink::path() const {
    std::lock_guard lock(file_mutex_);
    return path_;
}

std::string LogSink::notice() const {
    std::lock_guard lock(file_mutex_);
    return refusals_;
}

void LogSink::write(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_list(format, args);
    va_end(args);
}

void LogSink::write_list(const char* format, std::va_list args) {
    std::lock_guard lock(file_mutex_);
    if (!file_ || !format) return;
    std::vfprintf(file_, format, args);
    // A run that is killed or crashes still leaves every line it wrote.
    std::fflush(file_);
}

// One message for the whole dump: each message is flushed on its own, and a 20000-byte buffer
// written in pieces would cost hundreds of writes.
void LogSink::bytes(const std::uint8_t* bytes, int count) {
    if (!bytes || count <= 0) return;
    std::string text;
    text.reserve(static_cast<std::size_t>(count) * 5);
    char item[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, "0x%x ", bytes[i]);
        text += item;
    }
    write("%s", text.c_str());
}

// Never destroyed: a thread still at work while the program ends may still write to it.
LogSink& program_log() {
    static LogSink* const sink = new LogSink;
    return *sink;
}

bool log_open() {
    return program_log().open();
}

std::string log_notice() {
    return program_log().notice();
}

void set_log_folder_override(const std::string& folder) {
    std::lock_guard lock(override_mutex);
    folder_override = folder;
}

std::vector<std::string> log_folders() {
    const std::string dir = documents_or_override();
    std::vector<std::string> folders;
    if (!dir.empty()) folders.push_back(dir + path_separator());
    const std::string here = current_folder();
    folders.push_back(here.empty() ? std::string() : here + path_separator());
    return folders;
}

void log_close() {
    program_log().close();
}

std::string log_path() {
    return program_log().path();
}

void log_write(const char* format, ...) {
    va_list args;
    va_start(args, format);
    program_log().write_list(format, args);
    va_end(args);
}

void log_bytes(const std::uint8_t* bytes, int count) {
    program_log().bytes(bytes, count);
}
