// The private-profile INI format as existing settings files use it:
//   [section]          names matched without regard to case, blanks around them ignored
//   key = value        blanks around key and value ignored; one pair of matching quotes removed
//   ; comment
// Lines end in CRLF or LF; a UTF-8 byte order mark before the first line is ignored.
#include "base/settings.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const char kBom[] = "\xEF\xBB\xBF";

struct Line {
    enum Kind { kOther, kSection, kKey } kind = kOther;
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed, quotes removed
    std::string text;   // the line as it was, without its line end
    std::string end;    // "\r\n", "\n", or "" for a last line without one
};

struct Profile {
    std::string bom;
    std::vector<Line> lines;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string trim(const std::string& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && is_blank(s[begin]))
        ++begin;
    while (end > begin && is_blank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

bool same_name(const std::string& a, const char* b) {
    return std::strlen(b) == a.size() && strncasecmp(a.c_str(), b, a.size()) == 0;
}

void classify(Line& line) {
    std::string t = trim(line.text);
    if (t.empty() || t[0] == ';') return;
    if (t[0] == '[') {
        std::size_t close = t.find(']');
        if (close == std::string::npos) return;  // not a section header; ignored
        line.kind = Line::kSection;
        line.name = trim(t.substr(1, close - 1));
        return;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return;
    line.kind = Line::kKey;
    line.name = trim(t.substr(0, eq));
    std::string value = trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    line.value = value;
}

Profile parse(const std::string& content) {
    Profile profile;
    std::size_t pos = 0;
    if (content.compare(0, 3, kBom) == 0) {
        profile.bom = kBom;
        pos = 3;
    }
    while (pos < content.size()) {
        Line line;
        std::size_t nl = content.find('\n', pos);
        std::size_t end = nl == std::string::npos ? content.size() : nl;
        line.end = nl == std::string::npos ? "" : "\n";
        if (end > pos && content[end - 1] == '\r') {
            --end;
            if (!line.end.empty()) line.end = "\r\n";
        }
        line.text = content.substr(pos, end - pos);
        classify(line);
        profile.lines.push_back(std::move(line));
        pos = nl == std::string::npos ? content.size() : nl + 1;
    }
    return profile;
}

// False only when the file exists but cannot be read.
bool read_file(const std::string& path, std::string* content) {
    content->clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content->append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// The value of the first key of that name in a section of that name; nullptr when there is none.
const std::string* find_value(const Profile& profile, const char* section, const char* key) {
    bool inside = false;
    for (const Line& line : profile.lines) {
        if (line.kind == Line::kSection) {
            inside = same_name(line.name, section);
        } else if (inside && line.kind == Line::kKey && same_name(line.name, key)) {
            return &line.value;
        }
    }
    return nullptr;
}

// A value ends at a NUL byte in the file: the caller gets a C string, and the count returned must
// be its length (an empty value gives 0, which callers take for a missing key).
int copy_out(const std::string& value, char* out, int size) {
    std::size_t n = std::strlen(value.c_str());
    if (n > static_cast<std::size_t>(size - 1)) n = static_cast<std::size_t>(size - 1);
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<int>(n);
}

bool write_all(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the whole file next to its old self and renames it over, so that a failed write never
// leaves a half-written settings file; the old file's permissions are kept. A folder that admits
// no new file gets the file rewritten in place.
bool replace_file(const std::string& path, const std::string& content) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool written = write_all(fd, content);
        return ::close(fd) == 0 && written;
    }
    struct stat old {};
    ::fchmod(fd, ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    bool ok = write_all(fd, content);
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(name.data(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(name.data());
    return ok;
}

// A value ends at its line end: one with a line break in it would add lines to the file.
std::string one_line(const char* value) {
    std::string v = value;
    std::size_t cut = v.find_first_of("\r\n");
    if (cut != std::string::npos) v.resize(cut);
    return v;
}

}  // namespace

int get_profile_string(const char* section, const char* key, const char* def, char* out, int size,
                       const std::string& path) {
    if (!out || size <= 0) return 0;
    std::string content;
    const std::string* value = nullptr;
    Profile profile;
    if (section && key && read_file(path, &content)) {
        profile = parse(content);
        value = find_value(profile, section, key);
    }
    if (value) return copy_out(*value, out, size);
    // The default loses its trailing blanks, as with the original profile functions.
    std::string fallback = def ? def : "";
    while (!fallback.empty() && is_blank(fallback.back()))
        fallback.pop_back();
    return copy_out(fallback, out, size);
}

int get_profile_int(const char* section, const char* key, int def, const std::string& path) {
    char text[64];
    // A missing key and an empty value both give the default.
    if (get_profile_string(section, key, "", text, sizeof(text), path) == 0) return def;
    const char* p = text;
    while (is_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // In 32 bits, as Windows reads it: a number too large for them wraps round, and a package
    // must read the same on both.
    std::uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}

bool write_profile_string(const char* section, const char* key, const char* value,
                          const std::string& path) {
    if (!section) return false;
    std::string content;
    if (!read_file(path, &content)) return false;
    Profile profile = parse(content);
    std::vector<Line>& lines = profile.lines;

    std::string eol = "\n";
    for (const Line& line : lines) {
        if (!line.end.empty()) {
            eol = line.end;
            break;
        }
    }

    // The first section of that name; the key is looked for, and added, there.
    std::size_t header = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::kSection && same_name(lines[i].name, section)) {
            header = i;
            break;
        }
    }
    std::size_t section_end = lines.size();
    if (header < lines.size()) {
        for (std::size_t i = header + 1; i < lines.size(); ++i) {
            if (lines[i].kind == Line::kSection) {
                section_end = i;
                break;
            }
        }
    }

    if (!key) {
        // No key: the whole section goes.
        if (header == lines.size()) return true;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                    lines.begin() + static_cast<std::ptrdiff_t>(section_end));
    } else {
        std::size_t found = lines.size();
        std::size_t last_entry = header;
        for (std::size_t i = header + 1; header < lines.size() && i < section_end; ++i) {
            if (lines[i].kind != Line::kKey) continue;
            last_entry = i;
            if (found == lines.size() && same_name(lines[i].name, key)) found = i;
        }
        Line entry;
        if (value) {
            entry.kind = Line::kKey;
            entry.text = std::string(key) + "=" + one_line(value);
            entry.end = eol;
        }
        if (found < lines.size()) {
            if (!value) {
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found));
            } else {
                lines[found].text = entry.text;  // keeps its own line end
            }
        } else if (value) {
            if (header == lines.size()) {
                if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
                Line head;
                head.kind = Line::kSection;
                head.text = "[" + std::string(section) + "]";
                head.end = eol;
                lines.push_back(head);
                lines.push_back(entry);
            } else {
                if (lines[last_entry].end.empty()) lines[last_entry].end = eol;
                lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_entry) + 1, entry);
            }
        } else {
            return true;  // nothing to delete
        }
    }

    std::string out = profile.bom;
    for (const Line& line : lines)
        out += line.text + line.end;
    return replace_file(path, out);
}
