#include <windows.h>

#include <io.h>
#include <share.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// FILETIME counts 100 ns steps from 1601; 1970 begins 11644473600 s later.
constexpr std::int64_t kFileTimeStepsPerSecond = 10000000;
constexpr std::int64_t kFileTimeSecondsTo1970 = 11644473600;

std::int64_t seconds_since_1970(const FILETIME& time) {
    const std::int64_t steps =
        (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return steps / kFileTimeStepsPerSecond - kFileTimeSecondsTo1970;
}

}  // namespace

#include "base/platform_paths.h"

char path_separator() {
    return '\\';
}

// The system takes '/' too, so paths joined with it work; they only read badly.
std::string native_path(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string current_folder() {
    char path[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryA(sizeof path, path);
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}

// Text mode, as the log is read on Windows: its line ends become CR LF. Other programs may read
// and write the file meanwhile. A file made under a name that another file left moments before
// inherits that file's creation time (the file system's "tunnelling"), so the new file is given
// its own: the creation time tells the next start when this one began.
std::FILE* open_shared_for_writing(const std::string& path) {
    std::FILE* file = ::_fsopen(path.c_str(), "w", _SH_DENYNO);
    if (!file) return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    if (handle != INVALID_HANDLE_VALUE) ::SetFileTime(handle, &now, nullptr, nullptr);
    return file;
}

// rename() does not replace an existing file on Windows.
bool rename_replacing(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::optional<std::int64_t> file_birth_time(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return {};
    const FILETIME& created = data.ftCreationTime;
    if (created.dwHighDateTime != 0 || created.dwLowDateTime != 0)
        return seconds_since_1970(created);
    return seconds_since_1970(data.ftLastWriteTime);
}

bool local_time(std::int64_t seconds, std::tm* out) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    return ::localtime_s(out, &time) == 0;
}
