#include <windows.h>

#include "base/platform_paths.h"

std::string executable_path() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    // A path cut at the buffer's end would name another folder.
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}
