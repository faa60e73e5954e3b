// The local "home" tree as the copy job walks it, shared by the upload and the package check so
// that both take the same entries.
//
// A walk knows the tree's real root and the real paths of the folders it is in, so that a symbolic
// link never leads it out of the tree or round in a circle. A file whose name contains ".link" is
// never uploaded: its name alone describes a symbolic link on the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "diag/efs_wire.h"
#include "diag/local_dir.h"

// The longest device paths the EFS requests can carry: a path travels with its NUL after the
// request header and the operation's fixed fields, all inside one request buffer.
constexpr int kEfsMaxFilePath = kEfsRequestBuffer - kEfsHeaderLength - 8 - 1;    // open, create
constexpr int kEfsMaxFolderPath = kEfsRequestBuffer - kEfsHeaderLength - 2 - 1;  // mkdir
constexpr int kEfsMaxLinkPaths = kEfsRequestBuffer - kEfsHeaderLength - 2;       // target + link

struct TreeWalk {
    std::string root;
    std::vector<std::string> folders;
};

// Starts a walk at local_folder; false when the folder cannot be resolved.
bool start_walk(const std::string& local_folder, TreeWalk* walk);

// Whether the walk takes this entry: a symbolic link only when what it points to lies inside the
// tree, a folder only when it is not one the walk is already in. *real gets the real path. An
// entry left out is logged to log under operation.
bool follow(const char* operation, const TreeWalk& walk, const std::string& path,
            const LocalEntry& entry, std::string* real, LogSink& log);

bool describes_link(const std::string& name);

// A file name such as sh_bin_busybox.link describes the link "sh" with the target /bin/busybox:
// up to the first '.', the part before the first '_' names the link, the rest is the target with
// every '_' read as '/'. False when the name describes no link.
bool read_link_name(const std::string& name, std::string* link_name, std::string* target);

std::string local_child(const std::string& folder, const std::string& name);
std::string device_child(const std::string& folder, const std::string& name);

// What the upload of a tree will send.
struct HomePlan {
    int folders = 0;
    int files = 0;
    int links = 0;
    std::uint64_t bytes = 0;
    // Every local file the upload reads or takes a link from (the ".link" files), by its path
    // inside the tree with '/' separators, in the order of the walk.
    std::vector<std::string> read;
};

// Walks the local tree as the upload will and checks that all of it can go to the device: every
// folder listable, every file a readable regular file of at most 4 GiB, every device path and
// link within what the requests can carry. False with *refusal naming the local path and why.
// Entries the walk leaves out go to log: the package is checked before any device's run, so by
// default the program's.
bool plan_home_tree(const std::string& local_root, const std::string& device_root, HomePlan* plan,
                    std::string* refusal, LogSink& log = program_log());
