#include "app/command_platform.h"

// As it was typed, so that it runs again from where it was typed.
std::string command_name(const char* argv0) {
    return argv0 && *argv0 ? argv0 : "fwupgrade";
}

bool offers_udev_rule() {
    return true;
}

const char* log_folder_description() {
    return "your documents folder";
}
