// settings.ini beside the executable, read with the semantics of the private-profile functions
// that existing settings files rely on. Nothing is cached: every read opens the file again.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kPathBuffer = 260;

// Tests point the program folder at a folder of their own; an empty string restores the real one.
void set_program_folder_override(const std::string& folder);

// The folder of the running executable (or the tests' override), with a trailing '/', whatever
// package folder was given.
std::string own_program_folder();

// "<folder>settings.ini"; folder ends with its separator (or is empty).
std::string settings_path(const std::string& folder);

// folder with a trailing separator added when it has none; an empty folder stays empty.
std::string with_separator(std::string folder);

// Copies the value (or def) into out, cut to size - 1 characters and NUL-terminated; returns the
// number of characters copied.
int get_profile_string(const char* section, const char* key, const char* def, char* out, int size,
                       const std::string& path);

// The value read as the Windows integer read does: optional blanks and sign, leading decimal
// digits; def when the key is missing; 0 when the value is not a number.
int get_profile_int(const char* section, const char* key, int def, const std::string& path);

// Writes key=value into section, creating the file and the section when missing and keeping
// every other line as it was. Returns true on success.
bool write_profile_string(const char* section, const char* key, const char* value,
                          const std::string& path);
