#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "link/port_diagnosis.h"
#include "link/port_table.h"

namespace {

std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : path;
}

bool all_digits(const char* text) {
    if (!*text) return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

bool holds(const std::string& pid, const std::string& node) {
    const std::string fd_dir = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(fd_dir.c_str());
    if (!dir) return false;  // another user's process: not ours to look into
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        char target[PATH_MAX];
        const std::string link = fd_dir + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (node == target) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// "name (pid N)" of each process that has the node open, as far as this user may see.
std::string holders_of(const std::string& node) {
    std::string list;
    DIR* proc = ::opendir("/proc");
    if (!proc) return list;
    while (const dirent* entry = ::readdir(proc)) {
        if (!all_digits(entry->d_name) || !holds(entry->d_name, node)) continue;
        std::string name;
        std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
        std::getline(comm, name);
        list += (list.empty() ? "" : ", ") + name + " (pid " + entry->d_name + ")";
    }
    ::closedir(proc);
    return list;
}

std::string advice(int error, const std::string& node) {
    switch (error) {
        case EACCES:
        case EPERM:
            return "; this user may not use the port: add the user to the group dialout (sudo "
                   "usermod -aG dialout $USER, then log in again) or install the udev rule "
                   "70-fwupgrade.rules";
        case EBUSY: {
            const std::string holders = holders_of(resolved(node));
            return holders.empty() ? "; another program holds the port"
                                   : "; another program holds the port: " + holders;
        }
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "; the device has gone (unplugged, or coming back in another mode)";
        default:
            return "";
    }
}

}  // namespace

std::string explain_port_failure(int port, std::uint32_t error) {
    std::string node;
    if (!port_table_lookup(port, &node)) return "port " + std::to_string(port) + " is not known";
    const int code = error > INT_MAX ? 0 : static_cast<int>(error);
    return node + ": " + std::strerror(code) + advice(code, node);
}
