// The few facts about the running system that the settings file and the log need. One file per
// platform implements them (documents_dir_*.cpp, program_folder_*.cpp, files_*.cpp).
#pragma once

#include <cstdio>
#include <string>

// Full path of the running executable; empty when the system cannot tell.
std::string executable_path();

// The user's documents folder, without a trailing separator; empty when none is known. The folder
// is not created.
std::string documents_dir();

// The separator of the platform's paths.
char path_separator();

// The current folder, without a trailing separator; empty when it cannot be told.
std::string current_folder();

// Opens path for writing as text, truncated, while other programs may still read and write it (the
// user may look at the log during a run). nullptr when it cannot be opened.
std::FILE* open_shared_for_writing(const std::string& path);

// Renames from to to, replacing an existing to. False when it could not be done.
bool rename_replacing(const std::string& from, const std::string& to);

// The user's configuration folder ($XDG_CONFIG_HOME, by default ~/.config), without a trailing
// separator; empty when none is known. The folder is not created.
std::string user_config_dir();
