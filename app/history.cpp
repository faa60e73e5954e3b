#include "app/history.h"
#include "app/history_json.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#include "base/log.h"

namespace {

// A line longer than any entry is no entry: it is skipped without being kept whole in memory.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// The file's keys, each written once.
constexpr const char* kTime = "time";
constexpr const char* kLocation = "location";
constexpr const char* kSerial = "serial";
constexpr const char* kVersionBefore = "version_before";
constexpr const char* kVersionAfter = "version_after";
constexpr const char* kPackage = "package";
constexpr const char* kSumsSha256 = "sums_sha256";
constexpr const char* kResult = "result";
constexpr const char* kFailedStage = "failed_stage";
constexpr const char* kDurationS = "duration_s";
constexpr const char* kLog = "log";

}  // namespace

Json optional_value(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json history_object(const HistoryEntry& entry) {
    return Json{{kTime, entry.time},
                {kLocation, optional_value(entry.location)},
                {kSerial, optional_value(entry.serial)},
                {kVersionBefore, optional_value(entry.version_before)},
                {kVersionAfter, optional_value(entry.version_after)},
                {kPackage, entry.package},
                {kSumsSha256, optional_value(entry.sums_sha256)},
                {kResult, entry.result},
                {kFailedStage, optional_value(entry.failed_stage)},
                {kDurationS, entry.duration_s},
                {kLog, optional_value(entry.log)}};
}

// Texts from the device or the file system may be no valid UTF-8: such bytes are replaced rather
// than refused, so that a line is always written.
std::string json_text(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

namespace {

bool read_text(const Json& object, const char* key, std::string* out) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return false;
    *out = found->get<std::string>();
    return true;
}

bool read_optional(const Json& object, const char* key, std::optional<std::string>* out) {
    const auto found = object.find(key);
    if (found == object.end()) return false;
    if (found->is_null()) {
        out->reset();
        return true;
    }
    if (!found->is_string()) return false;
    *out = found->get<std::string>();
    return true;
}

bool read_entry(const Json& object, HistoryEntry* entry) {
    if (!object.is_object()) return false;
    const auto duration = object.find(kDurationS);
    if (duration == object.end() || !duration->is_number()) return false;
    entry->duration_s = duration->get<double>();
    return read_text(object, kTime, &entry->time) &&
           read_optional(object, kLocation, &entry->location) &&
           read_optional(object, kSerial, &entry->serial) &&
           read_optional(object, kVersionBefore, &entry->version_before) &&
           read_optional(object, kVersionAfter, &entry->version_after) &&
           read_text(object, kPackage, &entry->package) &&
           read_optional(object, kSumsSha256, &entry->sums_sha256) &&
           read_text(object, kResult, &entry->result) &&
           read_optional(object, kFailedStage, &entry->failed_stage) &&
           read_optional(object, kLog, &entry->log);
}

// The next line of in into *line, cut at kMaxLineBytes (*cut says so); false at the end.
bool next_line(std::istream& in, std::string* line, bool* cut) {
    line->clear();
    *cut = false;
    char c = 0;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n') return true;
        if (line->size() < kMaxLineBytes)
            *line += c;
        else
            *cut = true;
    }
    return any;
}

}  // namespace

std::string history_line(const HistoryEntry& entry) {
    return json_text(history_object(entry));
}

bool parse_history_line(const std::string& line, HistoryEntry* entry) {
    const Json object = Json::parse(line, nullptr, false);
    if (object.is_discarded()) return false;
    HistoryEntry read;
    if (!read_entry(object, &read)) return false;
    *entry = std::move(read);
    return true;
}

std::string append_history(const std::vector<std::string>& folders, const HistoryEntry& entry) {
    const std::string line = history_line(entry) + "\n";
    // Runs on several modems end at once; each line goes in whole.
    static std::mutex appending;
    std::lock_guard<std::mutex> hold(appending);
    std::string refusals;
    std::vector<std::string> tried;
    for (const std::string& folder : folders) {
        // The documents folder may be the current one: a folder is tried once.
        if (std::find(tried.begin(), tried.end(), folder) != tried.end()) continue;
        tried.push_back(folder);
        const std::string path = folder + kHistoryName;
        errno = 0;
        if (std::FILE* file = std::fopen(path.c_str(), "ab")) {
            const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
            const int reason = errno;
            if (std::fclose(file) == 0 && written) return "";
            errno = reason ? reason : errno;
        }
        const int reason = errno;
        if (!refusals.empty()) refusals += "; ";
        refusals +=
            path + ": " + (reason ? std::generic_category().message(reason) : "cannot be written");
    }
    return refusals.empty() ? std::string("no folder for it") : refusals;
}

HistoryRead read_history(std::istream& in, std::size_t last, const std::string& shown) {
    HistoryRead read;
    std::deque<HistoryEntry> kept;
    std::string line;
    bool cut = false;
    for (int number = 1; next_line(in, &line, &cut); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        HistoryEntry entry;
        if (cut || !parse_history_line(line, &entry)) {
            read.warnings.push_back(shown + " line " + std::to_string(number) +
                                    " is not a history entry; skipped");
            continue;
        }
        kept.push_back(std::move(entry));
        if (kept.size() > last) kept.pop_front();
    }
    read.entries.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
    return read;
}

std::string history_document(const std::vector<HistoryEntry>& entries) {
    Json array = Json::array();
    for (const HistoryEntry& entry : entries)
        array.push_back(history_object(entry));
    return json_text(array, 2) + "\n";
}
