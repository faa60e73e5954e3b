// What the command line and its help say differently on each platform. One file per platform
// implements these (command_platform_*.cpp).
#pragma once

#include <string>

// The program's name as the usage and the hints show it: a command the user can type again.
std::string command_name(const char* argv0);

// True where --udev-rule means something: on a system that has udev.
bool offers_udev_rule();

// Where the download log goes, as the help names it.
const char* log_folder_description();
