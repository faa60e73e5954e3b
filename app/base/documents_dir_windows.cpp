// The documents folder shared by all users, where the download log goes on Windows.
#include <windows.h>

#include <shlobj.h>

#include "app/base/platform_paths.h"

std::string documents_dir() {
    char path[MAX_PATH];
    if (::SHGetFolderPathA(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path) !=
        S_OK)
        return {};
    return path;
}
