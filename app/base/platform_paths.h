// The few facts about the running system that the settings file and the log need. One file per
// platform implements them (documents_dir_linux.cpp, program_folder_linux.cpp).
#pragma once

#include <string>

// Full path of the running executable; empty when the system cannot tell.
std::string executable_path();

// The user's documents folder, without a trailing separator; empty when none is known. The folder
// is not created.
std::string documents_dir();

// The user's configuration folder ($XDG_CONFIG_HOME, by default ~/.config), without a trailing
// separator; empty when none is known. The folder is not created.
std::string user_config_dir();
