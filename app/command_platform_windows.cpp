#include "app/command_platform.h"

// The C runtime hands over the full path (Z:\...\fwupgrade.exe under wine, C:\...\fwupgrade.exe
// from the Explorer); a user in the package folder types the file name.
std::string command_name(const char* argv0) {
    std::string name = argv0 && *argv0 ? argv0 : "fwupgrade.exe";
    const std::size_t slash = name.find_last_of("\\/:");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 4) name += ".exe";
    return name;
}

bool offers_udev_rule() {
    return false;
}

const char* log_folder_description() {
    return "the Public Documents folder";
}
