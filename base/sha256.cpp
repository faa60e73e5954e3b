#include "base/sha256.h"

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::string to_hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

bool sha256_file(const std::string& path, std::string* hex, int* error) {
    *error = 0;
    Sha256 hash;
    if (!hash.ok()) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = errno;
        return false;
    }
    std::vector<unsigned char> chunk(kChunk);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
        hash.update(chunk.data(), got);
    const bool failed = std::ferror(file) != 0;
    if (failed) *error = errno ? errno : EIO;
    std::fclose(file);
    if (failed) return false;
    const Sha256Digest digest = hash.finish();
    if (!hash.ok()) return false;
    *hex = to_hex(digest);
    return true;
}
