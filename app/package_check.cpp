#include "app/package_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "base/platform_paths.h"
#include "base/settings.h"
#include "app/firmware_plan.h"
#include "app/package_sums.h"
#include "app/settings_check.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kLargestFile = std::numeric_limits<std::uint32_t>::max();

std::string because(const std::string& name, const char* what) {
    return name + ": " + what;
}

std::string because(const std::string& name, const char* what, int error) {
    return name + ": " + what + ": " + std::strerror(error);
}

std::string because(const std::string& name, const char* what, const std::error_code& error) {
    return name + ": " + what + ": " + error.message();
}

// Something of that name is there, a symbolic link that points nowhere included.
bool exists(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    return fs::exists(status) || (error && error != std::errc::no_such_file_or_directory);
}

// A readable regular file; *size gets its size.
bool readable_file(const std::string& path, const std::string& name, std::uint64_t* size,
                   std::string* refusal) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        *refusal = !error || error == std::errc::no_such_file_or_directory
                       ? because(name, "missing")
                       : because(name, "cannot be read", error);
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *refusal = because(name, "not a regular file");
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *refusal = because(name, "cannot be read", errno);
        return false;
    }
    std::fclose(file);
    *size = static_cast<std::uint64_t>(fs::file_size(path, error));
    if (error) {
        *refusal = because(name, "cannot be read", error);
        return false;
    }
    if (*size > kLargestFile) {
        *refusal = because(name, "larger than 4 GiB");
        return false;
    }
    return true;
}

bool check_settings(const std::string& folder, Package* package, std::string* refusal) {
    const std::string path = folder + "settings.ini";
    std::uint64_t size = 0;
    if (!readable_file(path, "settings.ini", &size, refusal)) {
        // Whoever copied the package may not know where the program looks for it.
        if (!exists(path)) *refusal += " from " + folder;
        return false;
    }
    if (!check_settings_content(path, refusal)) return false;
    char target[kLongestTargetVersion + 1];
    get_profile_string("id", "fw", "0", target, sizeof target, path);
    package->target_version = target;
    char reset[10];
    get_profile_string("id", "reset", "0", reset, sizeof reset, path);
    package->removes_router_conf = std::strtol(reset, nullptr, 10) == 1;
    return true;
}

bool check_home(const std::string& folder, Package* package, std::string* refusal) {
    const std::string path = folder + "home";
    if (!exists(path)) return true;
    std::error_code error;
    if (!fs::is_directory(path, error)) {
        // Emptying the device's "/home" for a tree that cannot be walked would only lose it.
        *refusal = because("home", "not a folder");
        return false;
    }
    std::string why;
    if (!plan_home_tree(path, "/home", &package->home, &why)) {
        *refusal = why.compare(0, folder.size(), folder) == 0 ? why.substr(folder.size()) : why;
        return false;
    }
    package->has_home = true;
    return true;
}

bool check_iso(const std::string& folder, Package* package, std::string* refusal) {
    const std::string path = folder + "image.iso";
    if (!exists(path)) return true;  // a package without an image is no error
    if (!readable_file(path, "image.iso", &package->iso_size, refusal)) return false;
    package->has_iso = true;
    return true;
}

bool check_programmer(const std::string& path, const std::string& name, Package* package,
                      std::string* refusal) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        *refusal = because(name, "cannot be read", errno);
        return false;
    }
    int line = 0;
    std::string why;
    const bool good = check_hex_file(file, &package->programmer, &line, &why);
    std::fclose(file);
    if (good) return true;
    *refusal = line > 0 ? name + ": line " + std::to_string(line) + ": " + why : name + ": " + why;
    return false;
}

bool check_firmware_file(const std::string& folder, const FirmwareFile& entry, Package* package,
                         std::string* refusal) {
    const std::string name = std::string(kFirmwareFolder) + path_separator() + entry.name;
    const std::string path = folder + name;
    PackageFile file{entry.name, 0};
    if (!readable_file(path, name, &file.size, refusal)) return false;
    // The partition table and the headers travel whole in one request each: without bytes
    // there is nothing the programmer would take.
    if ((entry.role == FirmwareRole::Table || entry.role == FirmwareRole::Header) &&
        file.size == 0) {
        *refusal = because(name, "empty");
        return false;
    }
    if (entry.role == FirmwareRole::Programmer && !check_programmer(path, name, package, refusal))
        return false;
    package->firmware.push_back(file);
    return true;
}

// None of the four deciding files: a copy-only job. Some of them: a package that lost files.
bool check_firmware(const std::string& folder, Package* package, std::string* refusal) {
    const std::string dir = folder + kFirmwareFolder + path_separator();
    std::string present, missing;
    for (const FirmwareFile& entry : firmware_plan()) {
        if (!entry.decides) continue;
        std::string& list = exists(dir + entry.name) ? present : missing;
        list += (list.empty() ? "" : ", ") + std::string(entry.name);
    }
    if (present.empty()) return true;
    if (!missing.empty()) {
        *refusal = std::string(kFirmwareFolder) + ": the firmware set is incomplete: " + missing +
                   " missing beside " + present;
        return false;
    }
    for (const FirmwareFile& entry : firmware_plan()) {
        if (!check_firmware_file(folder, entry, package, refusal)) {
            package->firmware.clear();
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint64_t Package::firmware_size(const std::string& name) const {
    for (const PackageFile& file : firmware)
        if (file.name == name) return file.size;
    return 0;
}

bool Package::names_version() const {
    return !target_version.empty() && target_version != "0";
}

bool Package::installed_in(const std::string& build_version) const {
    return names_version() && build_version.find(target_version) != std::string::npos;
}

bool check_package_files(const std::string& folder, Package* package, std::string* refusal) {
    *package = Package{};
    package->folder = folder;
    refusal->clear();
    if (!check_settings(folder, package, refusal) || !check_home(folder, package, refusal) ||
        !check_iso(folder, package, refusal) || !check_firmware(folder, package, refusal))
        return false;
    if (!package->has_home && !package->has_iso && !package->has_firmware() &&
        !package->removes_router_conf) {
        *refusal = "nothing to do: no home folder, no image.iso and no firmware in " +
                   std::string(kFirmwareFolder);
        return false;
    }
    return true;
}

std::vector<std::string> package_files(const Package& package) {
    std::vector<std::string> files = {"settings.ini"};
    for (const std::string& path : package.home.read)
        files.push_back("home/" + path);
    if (package.has_iso) files.push_back("image.iso");
    for (const PackageFile& file : package.firmware)
        files.push_back(std::string(kFirmwareFolder) + "/" + file.name);
    return files;
}

bool check_package(const std::string& folder, Package* package, std::string* refusal) {
    if (!check_package_files(folder, package, refusal)) return false;
    if (sums_missing(folder)) return true;
    if (!verify_sums(folder, package_files(*package), &package->digests, refusal)) return false;
    package->sealed = true;
    package->sealed_files = static_cast<int>(package->digests.size());
    return true;
}
