// fwupgrade --udev-rule: the udev rule for the device identifiers of the package's settings.ini.
//
// The rule shipped with the program names one modem's USB ids; a user with another modem gets the
// right rule from the identifiers the package already carries ("USB\VID_05C6&PID_9003&MI_00" is
// idVendor 05c6, idProduct 9003). Each identity gets the same pair of lines as the shipped rule:
// the logged-in user may open its serial ports, and the modem manager leaves them alone.
#pragma once

#include <cstdio>
#include <string>

struct UdevRule {
    std::string text;    // the whole rules file
    int identities = 0;  // distinct vendor and product pairs that got lines
};

// The rule for the [id] identifiers (diag%d, download%d, savedownload%d for each of idnum) of the
// settings file at settings_path. An identifier that names no USB vendor and product is skipped
// with a comment line saying so.
UdevRule make_udev_rule(const std::string& settings_path);

// Prints the rule for the package's settings.ini on out. 0 when it holds at least one identity;
// 1 otherwise, with nothing on out and the reason on err (a settings file the package check
// refuses included).
int print_udev_rule(const std::string& settings, std::FILE* out, std::FILE* err);
