#include "base/settings.h"

#include <cstring>
#include <mutex>

#include "base/platform_paths.h"

namespace {

std::mutex override_mutex;
std::string folder_override;
std::string package_folder;  // given by the user; empty: the program folder

std::string with_separator(std::string folder) {
    if (!folder.empty() && folder.back() != path_separator()) folder += path_separator();
    return folder;
}

}  // namespace

void compute_program_folder(char* out) {
    if (!out) return;
    std::string folder;
    {
        std::lock_guard lock(override_mutex);
        folder = package_folder;
    }
    if (folder.empty()) folder = own_program_folder();
    // A folder that does not fit is not cut: a cut path would name some other folder.
    if (folder.size() >= kPathBuffer) folder.clear();
    std::memcpy(out, folder.c_str(), folder.size() + 1);
}

std::string own_program_folder() {
    {
        std::lock_guard lock(override_mutex);
        if (!folder_override.empty()) return folder_override;
    }
    std::string exe = executable_path();
    std::size_t slash = exe.rfind(path_separator());
    return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

void set_program_folder_override(const std::string& folder) {
    std::lock_guard lock(override_mutex);
    folder_override = with_separator(folder);
}

void set_package_folder(const std::string& folder) {
    std::lock_guard lock(override_mutex);
    package_folder = with_separator(folder);
}

std::string settings_path() {
    char folder[kPathBuffer];
    compute_program_folder(folder);
    return std::string(folder) + "settings.ini";
}
