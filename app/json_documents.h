// The JSON documents that --list, --check and a run without a window print on standard output with
// --json, each written here and nowhere else. The keys are those of the history where a value
// means the same; what nobody learnt is null.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/history.h"
#include "app/list_run.h"

// --list: an array with an object per modem (location, serial, mode, port, version).
std::string list_document(const std::vector<ListedModem>& modems);

// The device --check found and asked.
struct CheckedDevice {
    int port = -1;
    std::optional<std::string> location;
    std::optional<std::string> serial;
    int mode = 0;                        // a mode probe result (probe/mode_probe.h)
    std::optional<std::string> version;  // read in normal mode only
};

// What --check found and concluded.
struct CheckReport {
    std::string package;                         // the package folder
    std::optional<std::string> package_version;  // the version it installs; null when refused
    std::optional<std::string> package_refusal;  // why the package is not usable
    std::optional<CheckedDevice> device;         // null when no device was found or asked
    bool ready = false;                          // a run could start
    std::string verdict_text;                    // the sentence that says what a run would do
    int exit_status = 1;
};

// --check: one object.
std::string check_document(const CheckReport& report);

// A run on one modem: the history's entry of the run, why it ended as it did and the exit status a
// run of this modem alone ends with.
std::string run_document(const HistoryEntry& entry, const std::optional<std::string>& reason,
                         int exit_status);

// One modem's part in a run on several modems, with the exit status a run of it alone ends with.
struct ModemRunReport {
    HistoryEntry entry;
    std::optional<std::string> reason;
    int exit_status = 1;
};

// run --all: an object with an array of one run object per modem, as run_document writes it, and
// how many succeeded, failed and were stopped, and the exit status of the whole run.
std::string all_runs_document(const std::vector<ModemRunReport>& runs, int exit_status);
