#include "app/run_record.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <utility>

#include "app/checked_mode.h"
#include "app/package_sums.h"
#include "app/worker.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/sha256.h"

namespace {

// Said once per program start, not once per session: the history is the program's, and a dialog
// that runs again and again (or several sessions side by side) has told the user already.
std::atomic<bool> unwritable_said{false};

// The digest of the package's SHA256SUMS as it is now, null when it has none (or it cannot be
// read: the run has said why).
std::optional<std::string> sums_digest(const std::string& folder) {
    if (folder.empty() || sums_missing(folder)) return std::nullopt;
    std::string hex;
    int error = 0;
    if (!sha256_file(folder + kSumsFile, &hex, &error)) return std::nullopt;
    return hex;
}

std::optional<std::string> known(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

// The history goes beside the open log; without one, where the log would have gone.
std::vector<std::string> history_folders() {
    const std::string log = log_path();
    const std::string_view name = kLogName;
    if (log.size() > name.size() && log.ends_with(name))
        return {log.substr(0, log.size() - name.size())};
    return log_folders();
}

}  // namespace

std::string utc_time_text(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(when);
    const auto day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss time{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02lldZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long long>(time.seconds().count()));
    return text;
}

RunRecordStart begin_run_record(Session& session) {
    RunRecordStart start;
    start.time = utc_time_text(std::chrono::system_clock::now());
    start.began = std::chrono::steady_clock::now();
    start.version_before = known(take_checked_version(session));
    return start;
}

HistoryEntry run_entry(const Run& run, const RunRecordStart& start) {
    HistoryEntry entry;
    entry.time = start.time;
    // A run that found no port was bound to no modem; one whose modem's location is unknown names
    // the port it last opened instead.
    if (!run.search.location.empty())
        entry.location = run.search.location;
    else if (run.line.port_number >= 0)
        entry.location = "port " + std::to_string(run.line.port_number);
    if (!run.serial.empty()) entry.serial = run.serial;
    entry.version_before = start.version_before;
    entry.version_after = known(run.version_after);
    entry.package = run.package_folder;
    entry.sums_sha256 = sums_digest(entry.package);
    const bool stopped = !run.succeeded && run.line.cancel.requested();
    entry.result = run.succeeded ? kResultSuccess : stopped ? kResultStopped : kResultFailure;
    if (!run.succeeded) entry.failed_stage = known(run.stage);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start.began;
    entry.duration_s = std::round(took.count() * 10) / 10;
    entry.log = known(run.line.log().path());
    return entry;
}

void end_run_record(const Run& run, const RunRecordStart& start, UpgradeDialog* dialog,
                    bool console) {
    const HistoryEntry entry = run_entry(run, start);
    {
        std::lock_guard<std::mutex> hold(run.session.last_entry.lock);
        run.session.last_entry.entry = entry;
    }
    const std::string refusal = append_history(history_folders(), entry);
    if (refusal.empty() || unwritable_said.exchange(true)) return;
    const std::string notice = "The history cannot be written: " + refusal;
    run.line.log().write("%s\n", notice.c_str());
    if (console) set_info(dialog, notice);
}

std::optional<HistoryEntry> take_last_run_entry(Session& session) {
    std::lock_guard<std::mutex> hold(session.last_entry.lock);
    return std::exchange(session.last_entry.entry, std::nullopt);
}

HistoryEntry unstarted_run_entry(const Session& session, bool stopped) {
    HistoryEntry entry;
    entry.time = utc_time_text(std::chrono::system_clock::now());
    entry.package = session.package_folder.program_folder();
    entry.sums_sha256 = sums_digest(entry.package);
    entry.result = stopped ? kResultStopped : kResultFailure;
    entry.log = known(session.log().path());
    return entry;
}
