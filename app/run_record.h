// A run's line in the history: what it learnt before its worker began, and the line appended when
// the worker has ended, whichever way it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "app/history.h"

struct Run;
class Session;
class UpgradeDialog;

struct RunRecordStart {
    std::string time;  // UTC, as the history writes it
    std::chrono::steady_clock::time_point began;
    // The version the start-up check read from the modem; null when it read none for this run.
    std::optional<std::string> version_before;
};

// Taken just before the worker of session starts.
RunRecordStart begin_run_record(Session& session);

// The run's entry as the history keeps it.
HistoryEntry run_entry(const Run& run, const RunRecordStart& start);

// Appends the run's entry to the history beside its log. A history that cannot be written is said
// once per program start, in the log and (for a run without a window) on the dialog's information
// line; it changes neither the run's end nor its result.
void end_run_record(const Run& run, const RunRecordStart& start, UpgradeDialog* dialog,
                    bool console);

// The entry end_run_record appended last for session (whether or not the history took it), once;
// nothing when no run of it has ended since.
std::optional<HistoryEntry> take_last_run_entry(Session& session);

// The entry of a run of session that never began: refused before its worker started, or stopped
// before it.
HistoryEntry unstarted_run_entry(const Session& session, bool stopped);

// Seconds since 1970 as the history's UTC time: "2026-12-10T02:37:14Z".
std::string utc_time_text(std::chrono::system_clock::time_point when);
