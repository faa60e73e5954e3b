#include "app/package_folder.h"

#include <filesystem>

#include "base/platform_paths.h"
#include "base/settings.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSection = "package";
constexpr const char* kKey = "folder";
// Room for a long path: only one that fits the program folder's buffer is used anyway.
constexpr int kValueBuffer = 4096;

}  // namespace

void PackageFolder::set(const std::string& folder) {
    std::lock_guard hold(lock_);
    given_ = with_separator(folder);
}

std::string PackageFolder::program_folder() const {
    std::string folder;
    {
        std::lock_guard hold(lock_);
        folder = given_;
    }
    if (folder.empty()) folder = own_program_folder();
    if (folder.size() >= kPathBuffer) folder.clear();
    return folder;
}

std::string PackageFolder::settings_path() const {
    return ::settings_path(program_folder());
}

bool package_beside_program() {
    return settings_in(own_program_folder());
}

std::string windowless_command(const std::string& program) {
    return program + (package_beside_program() ? " run" : " --package DIR run");
}

bool settings_in(const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code ignored;
    return fs::is_regular_file(fs::path(folder) / "settings.ini", ignored);
}

bool use_package_folder(PackageFolder& package, const std::string& folder) {
    std::error_code ignored;
    if (folder.empty() || !fs::is_directory(folder, ignored)) return false;
    // With its separator the path must fit, or the program folder would come out empty.
    if (folder.size() + (folder.back() == '/' ? 0 : 1) >= kPathBuffer) return false;
    package.set(folder);
    return true;
}

std::string remembered_folder_file() {
    const std::string config = user_config_dir();
    return config.empty() ? std::string() : config + "/fwupgrade/fwupgrade.ini";
}

std::string remembered_package_folder() {
    const std::string file = remembered_folder_file();
    if (file.empty()) return {};
    char value[kValueBuffer];
    get_profile_string(kSection, kKey, "", value, sizeof value, file);
    return value;
}

bool remember_package_folder(const std::string& folder) {
    const std::string file = remembered_folder_file();
    if (file.empty()) return false;
    std::error_code error;
    fs::create_directories(fs::path(file).parent_path(), error);
    if (error) return false;
    return write_profile_string(kSection, kKey, folder.c_str(), file);
}
