// The few things tests need from the system that differ between platforms: a new folder of their
// own and environment variables. One file per platform implements them.
#pragma once

#include <string>

// A new, empty folder under the system's temporary folder; throws when none can be made.
std::string make_temp_folder();

// Makes something at path that is there but cannot be opened for reading, even by an
// administrator: a link to itself on Linux, a folder on Windows.
void make_unopenable(const std::string& path);

// Sets the variable (value nullptr: removes it).
void set_environment(const char* name, const char* value);
