#include "base/kept_logs.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "base/log.h"
#include "base/platform_paths.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDatedPrefix = "download-";
constexpr const char* kDatedExtension = ".dbg";
constexpr std::size_t kStampLength = 15;  // YYYYMMDD-HHMMSS
// More starts than this within one second are not looked for: the folder is not ours to fill.
constexpr int kMostSuffixes = 1000;

struct DatedLog {
    std::string name;
    std::string stamp;  // sorts as the times do
    long suffix = 0;    // 0 for none
};

bool all_digits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// download-YYYYMMDD-HHMMSS.dbg or download-YYYYMMDD-HHMMSS-N.dbg; nothing else is a dated log.
std::optional<DatedLog> read_dated_name(const std::string& name) {
    const std::string prefix = kDatedPrefix, extension = kDatedExtension;
    if (name.size() < prefix.size() + kStampLength + extension.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        return {};
    DatedLog log{name, name.substr(prefix.size(), kStampLength), 0};
    if (!all_digits(log.stamp.substr(0, 8)) || log.stamp[8] != '-' ||
        !all_digits(log.stamp.substr(9)))
        return {};
    const std::size_t rest_at = prefix.size() + kStampLength;
    const std::string rest = name.substr(rest_at, name.size() - extension.size() - rest_at);
    if (rest.empty()) return log;
    const std::string digits = rest.substr(1);
    if (rest[0] != '-' || !all_digits(digits) || digits.size() > 4 || digits[0] == '0') return {};
    log.suffix = std::stol(digits);
    return log;
}

std::string stamp_of(std::int64_t seconds) {
    std::tm local{};
    if (!local_time(seconds, &local)) return {};
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local) != kStampLength) return {};
    return stamp;
}

// The name a log that began at stamp takes, the first one free.
std::optional<std::string> free_dated_name(const std::string& folder, const std::string& stamp) {
    std::error_code error;
    for (int suffix = 0; suffix < kMostSuffixes; ++suffix) {
        std::string name = kDatedPrefix + stamp;
        if (suffix > 0) name += "-" + std::to_string(suffix);
        name += kDatedExtension;
        if (!fs::exists(folder + name, error) && !error) return name;
    }
    return {};
}

std::vector<DatedLog> dated_logs(const std::string& folder) {
    std::vector<DatedLog> logs;
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? "." : folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::error_code unreadable;
        if (!entries->is_regular_file(unreadable)) continue;
        if (auto log = read_dated_name(entries->path().filename().string())) logs.push_back(*log);
    }
    return logs;
}

}  // namespace

// The file was made anew when its start began, so its birth time is when that start began.
void keep_earlier_logs(const std::string& folder) {
    const std::string current = folder + kLogName;
    std::error_code error;
    if (!fs::is_regular_file(current, error)) return;
    const std::optional<std::int64_t> began = file_birth_time(current);
    const std::string stamp = began ? stamp_of(*began) : std::string();
    if (stamp.empty()) return;
    const std::optional<std::string> name = free_dated_name(folder, stamp);
    if (!name || !rename_replacing(current, folder + *name)) return;

    std::vector<DatedLog> logs = dated_logs(folder);
    std::sort(logs.begin(), logs.end(), [](const DatedLog& a, const DatedLog& b) {
        return a.stamp != b.stamp ? a.stamp < b.stamp : a.suffix < b.suffix;
    });
    const std::size_t keep = kKeptLogs - 1;
    for (std::size_t i = 0; i + keep < logs.size(); ++i)
        fs::remove(folder + logs[i].name, error);
}
