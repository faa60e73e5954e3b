#include "diag/home_tree.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/log_sink.h"

namespace {

bool inside_tree(const TreeWalk& walk, const std::string& real) {
    const std::string& root = walk.root;
    if (real.compare(0, root.size(), root) != 0) return false;
    return real.size() == root.size() || root.back() == local_separator() ||
           real[root.size()] == local_separator();
}

std::string why_not(const std::string& path, const char* what) {
    return path + ": " + what;
}

std::string why_not(const std::string& path, const char* what, int error) {
    return path + ": " + what + ": " + std::strerror(error);
}

// One file the upload will send: a readable regular file whose size 32-bit offsets can address.
bool plan_file(const std::string& local, const std::string& device, HomePlan* plan,
               std::string* refusal) {
    if (device.size() > static_cast<std::size_t>(kEfsMaxFilePath)) {
        *refusal = why_not(local, "path too long for the device");
        return false;
    }
    std::FILE* file = std::fopen(local.c_str(), "rb");
    if (!file) {
        *refusal = why_not(local, "cannot be read", errno);
        return false;
    }
    struct stat info {};
    const bool sized = ::fstat(fileno(file), &info) == 0;
    const int error = errno;
    std::fclose(file);
    if (!sized) {
        *refusal = why_not(local, "cannot be read", error);
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) > std::numeric_limits<std::uint32_t>::max()) {
        *refusal = why_not(local, "larger than 4 GiB");
        return false;
    }
    ++plan->files;
    plan->bytes += static_cast<std::uint64_t>(info.st_size);
    plan->read.push_back(device);
    return true;
}

bool plan_link(const std::string& local, const std::string& device_folder, const std::string& name,
               HomePlan* plan, std::string* refusal) {
    std::string link_name;
    std::string target;
    if (!read_link_name(name, &link_name, &target)) return true;
    const std::string link_path = device_child(device_folder, link_name);
    if (target.size() + link_path.size() > static_cast<std::size_t>(kEfsMaxLinkPaths)) {
        *refusal = why_not(local, "link path and target too long for the device");
        return false;
    }
    ++plan->links;
    plan->read.push_back(device_child(device_folder, name));
    return true;
}

// Files are uploaded only outside folders the host marks as system ones; links are made in every
// folder, as the upload and the link pass do.
bool plan_folder(TreeWalk& walk, const std::string& local, const std::string& device,
                 bool uploading, HomePlan* plan, std::string* refusal, LogSink& log) {
    std::vector<LocalEntry> entries;
    if (!list_local_folder(local, &entries)) {
        *refusal = why_not(local, "cannot be listed", errno);
        return false;
    }
    for (const LocalEntry& entry : entries) {
        const std::string local_path = local_child(local, entry.name);
        const std::string device_path = device_child(device, entry.name);
        std::string real;
        if (entry.kind == LocalKind::Folder) {
            if (!follow("package check", walk, local_path, entry, &real, log)) continue;
            const bool uploaded = uploading && !entry.system;
            if (uploaded && device_path.size() > static_cast<std::size_t>(kEfsMaxFolderPath)) {
                *refusal = why_not(local_path, "path too long for the device");
                return false;
            }
            if (uploaded) ++plan->folders;
            walk.folders.push_back(real);
            const bool planned =
                plan_folder(walk, local_path, device_path, uploaded, plan, refusal, log);
            walk.folders.pop_back();
            if (!planned) return false;
        } else if (describes_link(entry.name)) {
            if (!plan_link(local_path, device, entry.name, plan, refusal)) return false;
        } else if (uploading && !entry.system &&
                   follow("package check", walk, local_path, entry, &real, log)) {
            if (!plan_file(local_path, device_path, plan, refusal)) return false;
        }
    }
    return true;
}

}  // namespace

bool start_walk(const std::string& local_folder, TreeWalk* walk) {
    walk->root = local_real_path(local_folder);
    if (walk->root.empty()) return false;
    walk->folders = {walk->root};
    return true;
}

bool follow(const char* operation, const TreeWalk& walk, const std::string& path,
            const LocalEntry& entry, std::string* real, LogSink& log) {
    if (entry.kind == LocalKind::Other) {
        log.write("%s: skip %s\n", operation, path.c_str());
        return false;
    }
    if (!entry.link && entry.kind == LocalKind::File) return true;
    *real = local_real_path(path);
    if (real->empty() || !inside_tree(walk, *real)) {
        log.write("%s: skip link out of tree %s\n", operation, path.c_str());
        return false;
    }
    if (entry.kind == LocalKind::Folder) {
        for (const std::string& folder : walk.folders) {
            if (folder == *real) {
                log.write("%s: skip link loop %s\n", operation, path.c_str());
                return false;
            }
        }
    }
    return true;
}

bool describes_link(const std::string& name) {
    return name.find(".link") != std::string::npos;
}

bool read_link_name(const std::string& name, std::string* link_name, std::string* target) {
    const std::string stem = name.substr(0, name.find('.'));
    const std::size_t underscore = stem.find('_');
    // No '_': no link. Nothing before it: no name to make the link under.
    if (underscore == std::string::npos || underscore == 0) return false;
    *link_name = stem.substr(0, underscore);
    *target = stem.substr(underscore);
    for (char& c : *target) {
        if (c == '_') c = '/';
    }
    return true;
}

std::string local_child(const std::string& folder, const std::string& name) {
    return folder + local_separator() + name;
}

std::string device_child(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

bool plan_home_tree(const std::string& local_root, const std::string& device_root, HomePlan* plan,
                    std::string* refusal, LogSink& log) {
    *plan = HomePlan{};
    TreeWalk walk;
    if (!start_walk(local_root, &walk)) {
        *refusal = why_not(local_root, "cannot be read", errno);
        return false;
    }
    if (!plan_folder(walk, local_root, device_root, true, plan, refusal, log)) return false;
    // The walk noted device paths; what the tree holds is below device_root.
    for (std::string& path : plan->read)
        path.erase(0, device_root.size() + 1);
    return true;
}
