#include <windows.h>

#include <share.h>

#include <cstdio>

#include "app/base/platform_paths.h"

char path_separator() {
    return '\\';
}

std::string current_folder() {
    char path[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryA(sizeof path, path);
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}

// Text mode, as the log is read on Windows: its line ends become CR LF. Other programs may read
// and write the file meanwhile.
std::FILE* open_shared_for_writing(const std::string& path) {
    return ::_fsopen(path.c_str(), "w", _SH_DENYNO);
}

// rename() does not replace an existing file on Windows.
bool rename_replacing(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
