#include "base/settings.h"

#include <mutex>

#include "base/platform_paths.h"

namespace {

std::mutex override_mutex;
std::string folder_override;

}  // namespace

std::string with_separator(std::string folder) {
    if (!folder.empty() && folder.back() != path_separator()) folder += path_separator();
    return folder;
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

std::string settings_path(const std::string& folder) {
    return folder + "settings.ini";
}
