// --history: the newest entries of the history as a table or a JSON document.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/history.h"
#include "base/log.h"

namespace {

constexpr std::size_t kColumns = 7;
using Row = std::array<std::string, kColumns>;
constexpr std::array<const char*, kColumns> kHeading = {
    "TIME", "LOCATION", "SERIAL", "VERSION BEFORE -> AFTER", "RESULT", "FAILED STAGE", "DURATION"};
constexpr const char* kColumnGap = "  ";

// A text from the file on one table line: control bytes would move the terminal's cursor.
std::string cell(const std::optional<std::string>& text) {
    if (!text || text->empty()) return "-";
    std::string out = *text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return out;
}

Row row_of(const HistoryEntry& entry) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f s", entry.duration_s);
    return {cell(entry.time),
            cell(entry.location),
            cell(entry.serial),
            cell(entry.version_before) + " -> " + cell(entry.version_after),
            cell(entry.result),
            cell(entry.failed_stage),
            duration};
}

}  // namespace

std::string history_table(const std::vector<HistoryEntry>& entries) {
    std::vector<Row> rows(1);
    std::copy(kHeading.begin(), kHeading.end(), rows.front().begin());
    for (const HistoryEntry& entry : entries)
        rows.push_back(row_of(entry));
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows)
        for (std::size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string table;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kColumns; ++i) {
            line += row[i];
            if (i + 1 < kColumns) line += std::string(widths[i] - row[i].size(), ' ') + kColumnGap;
        }
        table += line + "\n";
    }
    return table;
}

// The history a run writes beside its log: the first of the log's folders that holds one.
int run_history(bool json, std::FILE* out, std::FILE* err) {
    const std::vector<std::string> folders = log_folders();
    for (const std::string& folder : folders) {
        const std::string path = folder + kHistoryName;
        std::error_code error;
        if (!std::filesystem::exists(path, error)) continue;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(err, "The history %s cannot be read.\n", path.c_str());
            return 1;
        }
        const HistoryRead read = read_history(in, kHistoryShown, path);
        for (const std::string& warning : read.warnings)
            std::fprintf(err, "warning: %s\n", warning.c_str());
        const std::string text =
            json ? history_document(read.entries) : history_table(read.entries);
        std::fputs(text.c_str(), out);
        return 0;
    }
    if (json)
        std::fputs(history_document({}).c_str(), out);
    else
        std::fprintf(out, "No run is recorded yet; runs are recorded in %s%s\n",
                     folders.empty() ? "" : folders.front().c_str(), kHistoryName);
    return 0;
}
