#include "app/settings_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/settings.h"

namespace {

constexpr const char* kName = "settings.ini: ";

// The offset of the first NUL byte, -1 when there is none, -2 when the file cannot be read. The
// file is read in chunks: its size is whatever the package brings.
long long first_nul(const std::string& path, int* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = errno;
        return -2;
    }
    char chunk[4096];
    long long offset = 0, found = -1;
    std::size_t got = 0;
    while (found < 0 && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (const void* nul = std::memchr(chunk, '\0', got))
            found = offset + (static_cast<const char*>(nul) - chunk);
        offset += static_cast<long long>(got);
    }
    if (found < 0 && std::ferror(file)) {
        *error = errno;
        found = -2;
    }
    std::fclose(file);
    return found;
}

bool text_without_nul(const std::string& path, std::string* refusal) {
    int error = 0;
    const long long nul = first_nul(path, &error);
    if (nul == -1) return true;
    *refusal = nul == -2 ? kName + std::string("cannot be read: ") + std::strerror(error)
                         : kName + std::string("a NUL byte at offset ") + std::to_string(nul) +
                               ", so it is not plain text (save it as UTF-8, not UTF-16)";
    return false;
}

bool named(const std::string& path, const char* key, const char* mode, std::string* refusal) {
    char value[2];
    if (get_profile_string("id", key, "", value, sizeof value, path) > 0) return true;
    *refusal = kName + std::string(key) + " is empty, so the port of the device in " + mode +
               " is not named";
    return false;
}

}  // namespace

bool check_settings_content(const std::string& path, std::string* refusal) {
    if (!text_without_nul(path, refusal)) return false;
    const int idnum = get_profile_int("id", "idnum", 0, path);
    if (idnum < 1) {
        *refusal = kName + std::string("idnum is ") + std::to_string(idnum) +
                   ", so no port of the device can be found";
        return false;
    }
    if (!named(path, "diag0", "normal mode", refusal) ||
        !named(path, "download0", "download mode", refusal))
        return false;
    // One more character than is kept tells a value that the reader would cut.
    char target[kLongestTargetVersion + 2];
    if (get_profile_string("id", "fw", "", target, sizeof target, path) > kLongestTargetVersion) {
        *refusal = kName + std::string("fw is longer than ") +
                   std::to_string(kLongestTargetVersion) +
                   " characters, so the target version would be cut short";
        return false;
    }
    return true;
}
