// The documents folder as the XDG user directories define it: $XDG_DOCUMENTS_DIR, else the
// XDG_DOCUMENTS_DIR entry of user-dirs.dirs (in $XDG_CONFIG_HOME, by default ~/.config), else
// ~/Documents. The configuration folder is the XDG one too.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "base/platform_paths.h"

namespace {

std::string home_dir() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// user-dirs.dirs holds shell assignments such as XDG_DOCUMENTS_DIR="$HOME/Documents": the value is
// either absolute or starts with $HOME.
// A relative XDG_CONFIG_HOME is ignored, as the XDG base directories say.
std::string config_dir(const std::string& home) {
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c == '/') return c;
    if (!home.empty()) return home + "/.config";
    return {};
}

std::string from_user_dirs(const std::string& home) {
    const std::string config = config_dir(home);
    if (config.empty()) return {};
    std::ifstream in(config + "/user-dirs.dirs");
    const std::string key = "XDG_DOCUMENTS_DIR=";
    std::string line;
    while (std::getline(in, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::string value = line.substr(start + key.size());
        while (!value.empty() &&
               (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            if (home.empty()) return {};
            value = home + value.substr(5);
        }
        if (value.empty() || value.front() != '/') return {};
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        return value;
    }
    return {};
}

}  // namespace

std::string documents_dir() {
    if (const char* env = std::getenv("XDG_DOCUMENTS_DIR"); env && *env) return env;
    const std::string home = home_dir();
    if (std::string dir = from_user_dirs(home); !dir.empty()) return dir;
    if (home.empty()) return {};
    return home + "/Documents";
}

std::string user_config_dir() {
    std::string dir = config_dir(home_dir());
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}
