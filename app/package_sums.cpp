#include "app/package_sums.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "base/platform_paths.h"
#include "base/sha256.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDigestDigits = 64;
// Far more lines than any package has files; a larger file is no list of this package's files.
constexpr std::uintmax_t kLargestSums = 16 * 1024 * 1024;

std::string at_line(int line, const std::string& what) {
    return std::string(kSumsFile) + ": line " + std::to_string(line) + ": " + what;
}

bool hex_digits(const std::string& text) {
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string lowercase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The path as a plain relative one: "." parts dropped, so that one file has one spelling and a
// file listed twice is seen.
bool plain_path(const std::string& path, int line, std::string* plain, std::string* refusal) {
    const bool drive = path.size() > 1 && path[1] == ':';
    if (path.front() == '/' || drive) {
        *refusal =
            path + ": an absolute path in " + kSumsFile + " (line " + std::to_string(line) + ")";
        return false;
    }
    if (path.find('\\') != std::string::npos || path.find('\0') != std::string::npos) {
        *refusal = at_line(line, "a path with '\\' or NUL: separators are '/'");
        return false;
    }
    plain->clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (part.empty()) {
            *refusal = at_line(line, path + " is no file path (an empty part)");
            return false;
        }
        if (part == "..") {
            *refusal = path + ": a '..' component in " + kSumsFile + " (line " +
                       std::to_string(line) + ")";
            return false;
        }
        if (part != ".") *plain += (plain->empty() ? "" : "/") + part;
        if (end == path.size()) break;
        start = end + 1;
    }
    if (plain->empty()) *refusal = at_line(line, path + " is no file path");
    return !plain->empty();
}

// "<64 hex digits><' ' and ' ' or '*'><path>", as sha256sum writes it in text or binary mode.
bool parse_line(std::string text, int line, SumsEntry* entry, std::string* refusal) {
    if (!text.empty() && text.back() == '\r') text.pop_back();  // written on Windows
    const bool shaped = text.size() > kDigestDigits + 2 && text[kDigestDigits] == ' ' &&
                        (text[kDigestDigits + 1] == ' ' || text[kDigestDigits + 1] == '*');
    const std::string digest = text.substr(0, kDigestDigits);
    if (!shaped || !hex_digits(digest)) {
        *refusal = at_line(line, "not a line as sha256sum writes it");
        return false;
    }
    entry->digest = lowercase(digest);
    entry->line = line;
    return plain_path(text.substr(kDigestDigits + 2), line, &entry->path, refusal);
}

bool read_sums(const std::string& folder, std::string* text, std::string* refusal) {
    const std::string path = folder + kSumsFile;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        *refusal = std::string(kSumsFile) + ": not a regular file";
        return false;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > kLargestSums) {
        *refusal = std::string(kSumsFile) + ": larger than 16 MiB";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *refusal = std::string(kSumsFile) + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    char chunk[4096];
    std::size_t got = 0;
    text->clear();
    while (text->size() <= kLargestSums && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text->append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text->size() > kLargestSums) {
        *refusal = std::string(kSumsFile) + (failed ? ": cannot be read" : ": larger than 16 MiB");
        return false;
    }
    return true;
}

// A listed file exists, is a regular file and has the listed digest.
bool file_matches(const std::string& folder, const SumsEntry& entry, std::string* refusal) {
    const std::string path = folder + entry.path;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        *refusal = native_path(entry.path) + ": listed in " + kSumsFile + " but missing";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *refusal = native_path(entry.path) + ": listed in " + kSumsFile + " but not a regular file";
        return false;
    }
    std::string digest;
    int read_error = 0;
    if (!sha256_file(path, &digest, &read_error)) {
        *refusal = native_path(entry.path) + ": cannot be read: " +
                   (read_error ? std::strerror(read_error) : "the system gave no SHA-256");
        return false;
    }
    if (digest != entry.digest) {
        *refusal = native_path(entry.path) + ": damaged or cut: its SHA-256 is not the one in " +
                   kSumsFile;
        return false;
    }
    return true;
}

bool write_lines(std::FILE* out, const std::string& folder, const std::vector<std::string>& files,
                 std::string* error) {
    for (const std::string& name : files) {
        // sha256sum would escape such a name; a list that it and this program read alike has none.
        if (name.find_first_of("\\\n\r") != std::string::npos) {
            *error = name + ": a name with '\\' or a line break cannot be listed";
            return false;
        }
        std::string digest;
        int read_error = 0;
        if (!sha256_file(folder + name, &digest, &read_error)) {
            *error = name + ": cannot be read: " +
                     (read_error ? std::strerror(read_error) : "the system gave no SHA-256");
            return false;
        }
        if (std::fprintf(out, "%s  %s\n", digest.c_str(), name.c_str()) < 0) {
            *error = std::string(kSumsFile) + ": cannot be written: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_sums(const std::string& text, std::vector<SumsEntry>* entries, std::string* refusal) {
    entries->clear();
    std::map<std::string, int> seen;  // path -> the line that lists it
    std::size_t start = 0;
    for (int line = 1; start < text.size(); ++line) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string content = text.substr(start, end - start);
        start = end + 1;
        if (!content.empty() && content.front() == '#') continue;
        SumsEntry entry;
        if (!parse_line(content, line, &entry, refusal)) return false;
        const auto [first, fresh] = seen.emplace(entry.path, line);
        if (!fresh) {
            *refusal = entry.path + ": listed twice in " + kSumsFile + " (lines " +
                       std::to_string(first->second) + " and " + std::to_string(line) + ")";
            return false;
        }
        entries->push_back(entry);
    }
    return true;
}

bool sums_missing(const std::string& folder) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder + kSumsFile, error);
    return !fs::exists(status) && (!error || error == std::errc::no_such_file_or_directory);
}

bool verify_sums(const std::string& folder, const std::vector<std::string>& required,
                 std::map<std::string, std::string>* digests, std::string* refusal) {
    std::string text;
    std::vector<SumsEntry> entries;
    if (!read_sums(folder, &text, refusal) || !parse_sums(text, &entries, refusal)) return false;
    std::set<std::string> paths;
    for (const SumsEntry& entry : entries)
        paths.insert(entry.path);
    // A file left out is found before a byte is hashed.
    for (const std::string& name : required) {
        if (!paths.contains(name)) {
            *refusal = native_path(name) + ": not listed in " + kSumsFile;
            return false;
        }
    }
    digests->clear();
    for (const SumsEntry& entry : entries) {
        if (!file_matches(folder, entry, refusal)) return false;
        digests->emplace(entry.path, entry.digest);
    }
    return true;
}

bool write_sums(const std::string& folder, const std::vector<std::string>& files,
                std::string* error) {
    const std::string temporary = folder + kSumsFile + ".tmp";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");  // "\n" alone, as sha256sum reads it
    if (!out) {
        *error = temporary + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    const bool listed = write_lines(out, folder, files, error);
    const bool closed = std::fclose(out) == 0;
    if (listed && !closed) *error = temporary + ": cannot be written: " + std::strerror(errno);
    const bool replaced = listed && closed && rename_replacing(temporary, folder + kSumsFile);
    if (listed && closed && !replaced)
        *error = std::string(kSumsFile) + ": cannot be replaced: " + std::strerror(errno);
    if (!replaced) std::remove(temporary.c_str());
    return replaced;
}
