// What settings.ini must hold before the program acts on it.
//
// A settings file that names no port (idnum missing or 0, an empty diag0) would only ever say
// "Can't find device!" while the modem sits on the cable, and a file saved as UTF-16 reads as no
// keys at all on Linux. The package check, the start-up check and --udev-rule refuse such a file instead,
// naming the key and what it would cause.
#pragma once

#include <string>

// The longest target version the settings reader keeps; a longer fw would be cut silently.
constexpr int kLongestTargetVersion = 9;

// Checks the content of the settings file at path (the caller has found it readable). True when
// it is usable; otherwise *refusal says "settings.ini: " with the key and the reason.
bool check_settings_content(const std::string& path, std::string* refusal);
