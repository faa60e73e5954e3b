// The local side of the tree copy: listing a folder and resolving paths, per platform.
#pragma once

#include <string>
#include <vector>

enum class LocalKind { File, Folder, Other };

struct LocalEntry {
    std::string name;
    // What the entry is; for a symbolic link, what it points to (Other when it points nowhere).
    LocalKind kind = LocalKind::Other;
    bool link = false;  // a symbolic link
    // Marked by the host as belonging to the system (a file attribute some hosts have): such an
    // entry is not uploaded. Never set where the host has no such mark.
    bool system = false;
};

// The separator of local paths.
char local_separator();

// The entries of folder, "." and ".." left out, sorted by name. False when the folder cannot be
// listed.
bool list_local_folder(const std::string& folder, std::vector<LocalEntry>* entries);

// True when anything at all exists at path, a symbolic link that points nowhere included.
bool local_path_exists(const std::string& path);

// The absolute path with every symbolic link resolved; empty when it cannot be resolved.
std::string local_real_path(const std::string& path);
