// The few facts about the running system that the settings file and the log need. One file per
// platform implements them (documents_dir_*.cpp, program_folder_*.cpp, files_*.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

// Full path of the running executable; empty when the system cannot tell.
std::string executable_path();

// The user's documents folder, without a trailing separator; empty when none is known. The folder
// is not created.
std::string documents_dir();

// The separator of the platform's paths.
char path_separator();

// path with the platform's separator throughout: a path shown to a Windows user never mixes '/'
// and '\\'. Only for paths of this computer, never for the device's.
std::string native_path(std::string path);

// The current folder, without a trailing separator; empty when it cannot be told.
std::string current_folder();

// Opens path for writing as text, truncated, while other programs may still read and write it (the
// user may look at the log during a run). nullptr when it cannot be opened.
std::FILE* open_shared_for_writing(const std::string& path);

// Renames from to to, replacing an existing to. False when it could not be done.
bool rename_replacing(const std::string& from, const std::string& to);

// When the file at path was created, in seconds since 1970 (UTC), where the system records it;
// else when it was last written. Nothing when the file cannot be looked at.
std::optional<std::int64_t> file_birth_time(const std::string& path);

// The calendar time of the local time zone at seconds since 1970 (UTC). False when it has none.
bool local_time(std::int64_t seconds, std::tm* out);

// The user's configuration folder ($XDG_CONFIG_HOME, by default ~/.config), without a trailing
// separator; empty when none is known. The folder is not created.
std::string user_config_dir();
