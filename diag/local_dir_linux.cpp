#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "diag/local_dir.h"

namespace {

LocalKind kind_of(const struct stat& info) {
    if (S_ISREG(info.st_mode)) return LocalKind::File;
    if (S_ISDIR(info.st_mode)) return LocalKind::Folder;
    return LocalKind::Other;
}

}  // namespace

char local_separator() {
    return '/';
}

bool list_local_folder(const std::string& folder, std::vector<LocalEntry>* entries) {
    entries->clear();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        LocalEntry entry;
        entry.name = name;
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        if (S_ISLNK(info.st_mode)) {
            entry.link = true;
            struct stat target {};
            entry.kind = ::stat(path.c_str(), &target) == 0 ? kind_of(target) : LocalKind::Other;
        } else {
            entry.kind = kind_of(info);
        }
        entries->push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries->begin(), entries->end(),
              [](const LocalEntry& a, const LocalEntry& b) { return a.name < b.name; });
    return true;
}

bool local_path_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string local_real_path(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return {};
    return resolved;
}
