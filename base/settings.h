// settings.ini beside the executable, read with the semantics of the private-profile functions
// that existing settings files rely on. Nothing is cached: every read opens the file again.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kPathBuffer = 260;

// Writes the folder everything is taken from, with a trailing '/', into out (kPathBuffer bytes):
// the package folder the user gave, else the folder of the running executable.
void compute_program_folder(char* out);

// Tests point the program folder at a folder of their own; an empty string restores the real one.
void set_program_folder_override(const std::string& folder);

// The package folder the user gave (--package, the dialog's folder browser): settings.ini, the
// firmware folder, "home" and image.iso are then taken from there. An empty string goes back to
// the program folder.
void set_package_folder(const std::string& folder);

// The folder of the running executable (or the tests' override), with a trailing '/', whatever
// package folder was given.
std::string own_program_folder();

// "<program folder>settings.ini", with the program folder computed anew.
std::string settings_path();

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
