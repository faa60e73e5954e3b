// The documents folder shared by all users, where the download log goes on Windows, and the
// user's own application data folder for what the dialog remembers.
#include <windows.h>

#include <shlobj.h>

#include "base/platform_paths.h"

std::string documents_dir() {
    char path[MAX_PATH];
    if (::SHGetFolderPathA(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path) !=
        S_OK)
        return {};
    return path;
}

std::string user_config_dir() {
    char path[MAX_PATH];
    if (::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return {};
    return path;
}
