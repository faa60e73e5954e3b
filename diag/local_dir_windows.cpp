// The local side of the tree copy on Windows: FindFirstFileA listings with their attributes. A
// symbolic link shows as a reparse point; what it points to is learnt by opening it, which
// follows the link.
#include <windows.h>

#include <algorithm>

#include "diag/local_dir.h"

namespace {

// The kind of what path leads to, links followed; Other when nothing is there.
LocalKind kind_behind(const std::string& path) {
    HANDLE handle =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LocalKind::Other;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known) return LocalKind::Other;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? LocalKind::Folder : LocalKind::File;
}

bool is_link(const WIN32_FIND_DATAA& found) {
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
            found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

LocalEntry entry_of(const std::string& folder, const WIN32_FIND_DATAA& found) {
    LocalEntry entry;
    entry.name = found.cFileName;
    entry.system = (found.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    entry.link = is_link(found);
    if (entry.link) {
        entry.kind = kind_behind(folder + "\\" + entry.name);
    } else {
        entry.kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? LocalKind::Folder
                                                                         : LocalKind::File;
    }
    return entry;
}

}  // namespace

char local_separator() {
    return '\\';
}

bool list_local_folder(const std::string& folder, std::vector<LocalEntry>* entries) {
    entries->clear();
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        entries->push_back(entry_of(folder, found));
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    // The same order as on every other host, so the log reads the same.
    std::sort(entries->begin(), entries->end(),
              [](const LocalEntry& a, const LocalEntry& b) { return a.name < b.name; });
    return true;
}

bool local_path_exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string local_real_path(const std::string& path) {
    HANDLE handle =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    char real[MAX_PATH * 4];
    const DWORD length =
        ::GetFinalPathNameByHandleA(handle, real, sizeof real, FILE_NAME_NORMALIZED);
    ::CloseHandle(handle);
    if (length == 0 || length >= sizeof real) return {};
    std::string result(real, length);
    // The answer comes in the long form "\\?\C:\..." (or "\\?\UNC\server\..." for a share).
    if (result.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + result.substr(8);
    if (result.rfind("\\\\?\\", 0) == 0) return result.substr(4);
    return result;
}
