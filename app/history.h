// The upgrade history: history.jsonl beside the log, one JSON object a line, one line per modem a
// run worked on, appended at the run's end. The file is the user's to keep, edit or cut: a line
// that is not an entry is skipped with a warning, and a history that cannot be written never
// stops a run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <istream>
#include <optional>
#include <string>
#include <vector>

constexpr const char* kHistoryName = "history.jsonl";
// How many entries --history shows: the newest.
constexpr std::size_t kHistoryShown = 20;

// The results a line holds.
constexpr const char* kResultSuccess = "success";
constexpr const char* kResultFailure = "failure";
constexpr const char* kResultStopped = "stopped";

// One run on one modem. What the run did not learn is null in the file.
struct HistoryEntry {
    std::string time;                     // when the run began, UTC: "2026-12-10T02:37:14Z"
    std::optional<std::string> location;  // where the modem is plugged in
    std::optional<std::string> serial;    // its USB serial number
    std::optional<std::string> version_before;
    std::optional<std::string> version_after;
    std::string package;                      // the package folder
    std::optional<std::string> sums_sha256;   // SHA-256 of its SHA256SUMS; null when it has none
    std::string result;                       // kResultSuccess, kResultFailure or kResultStopped
    std::optional<std::string> failed_stage;  // where a failed or stopped run was
    double duration_s = 0;
    std::optional<std::string> log;  // the run's log file
};

// The entry as one line of the file, without its line end.
std::string history_line(const HistoryEntry& entry);
// The entry a line holds; false when it is not one (not JSON, a key missing or of another type).
bool parse_history_line(const std::string& line, HistoryEntry* entry);

// Appends the entry to kHistoryName in the first of folders (each with its trailing separator,
// empty for the current one) that takes it. Empty on success, else each path tried and why.
std::string append_history(const std::vector<std::string>& folders, const HistoryEntry& entry);

struct HistoryRead {
    std::vector<HistoryEntry> entries;  // the last ones, oldest first
    std::vector<std::string> warnings;  // one per skipped line, naming it
};
// The last `last` entries of the history text in `in`; shown names the file in the warnings.
HistoryRead read_history(std::istream& in, std::size_t last, const std::string& shown);

// The entries as a table, a row each under a heading.
std::string history_table(const std::vector<HistoryEntry>& entries);
// The entries as one JSON document: an array of the lines' objects.
std::string history_document(const std::vector<HistoryEntry>& entries);

// --history: the last kHistoryShown entries of the history in the log's folder, as a table or
// (json) a JSON document on out; warnings on err. 0, or 1 when the file exists but cannot be read.
int run_history(bool json, std::FILE* out, std::FILE* err);
