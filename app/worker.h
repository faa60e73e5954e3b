// The upgrade worker and its stages. A run walks the device from the mode it was found in to the
// end of the job; every stage ends the run through success_end or failure_end, or hands over to the
// next stage.
#pragma once

#include <string>

#include "app/dialog.h"
#include "app/package_check.h"
#include "app/progress_plan.h"
#include "app/run_log.h"
#include "app/session.h"
#include "base/platform_paths.h"
#include "discovery/port_discovery.h"
#include "res/resource.h"

// The device re-enumerates after the switch to its boot downloader and after GO; it gets this many
// one-second passes to show up on a download port.
constexpr int kPortPasses = 12;

struct Run {
    explicit Run(Session& session)
        : session(session), line(session.line), stages(line.clock(), line.log()) {
        search.log = &line.log();
    }

    Session& session;                 // the modem's run the worker works for
    DeviceLine& line;                 // the session's: the device's port, clock and stop
    UpgradeDialog* dialog = nullptr;  // nullptr: no control writes, no progress
    int counter = 0;                  // the work done, which every long operation moves on
    ProgressPlan plan;                // the bar's range and where each step ends
    std::string package_folder;       // the program folder as the run found it, with its '/'
    std::string firmware_folder;      // "<program folder>VELMOR"
    Package package;                  // what the package check found
    // A run without a window has its package checked at start-up: the worker takes that verdict
    // (package, or the refusal when it is not empty) instead of reading and hashing it all again.
    bool package_checked = false;
    std::string package_refusal;
    std::string stage;       // what the run is doing, for the failure text: "writing ..."
    StageLog stages;         // the stage's begin and end lines in the log, with their times
    bool succeeded = false;  // set by success_end
    std::string now_runs;    // "Device now runs version X" once the returned device has told it
    // X alone, for the history; empty until the returned device has told it.
    std::string version_after;
    // The modem is in its boot downloader or flash programmer: it was found there, or took the
    // switch, and has not been reset since. A stopped run tells the user so from this alone: the
    // device is not asked again after a stop.
    bool download_mode = false;
    // The modem the run is bound to: the one chosen before it started, else the one whose port it
    // found first. Every search of the run (and the wait for its return) counts ports at its USB
    // location only, so the run follows it through its re-enumerations and never takes another
    // modem's port for it; an empty location (unknown) lets any port of the package count.
    PortSearch search;
    std::string serial;  // its USB serial number; empty when it has none

    // A firmware file: "<firmware folder><separator><name>".
    std::string file(const char* name) const { return firmware_folder + path_separator() + name; }
};

// The thread routine: 1 after a full download, 0 otherwise.
int upgrade_worker(Run& run);

// The ends of every run; both return the run's exit code.
int success_end(Run& run, const std::string& status, int exit_code);
int failure_end(Run& run);
// The failure end with why the step failed, unless the step told its own reason since
// reasons_before (a file it could not read, say) or the run is being stopped.
int fail_because(Run& run, int reasons_before, const std::string& why);

// DIAG stage: the copy stage, then (with the firmware files present) the switch to download mode.
int copy_stage(Run& run);
int switch_to_download_mode(Run& run);
// The device's boot downloader answers on the open port: load and start the flash programmer.
int boot_downloader_stage(Run& run);
// The flash programmer answers on the open port: partition table, images, reset, return.
int streaming_stage(Run& run);
// The device is back after its final reset: its version is read on its diag port and must be the
// package's; the success end only then.
int check_version_after_return(Run& run);

// The run is bound to the modem of the port found (when it was not bound yet), and the log says
// where that modem is plugged in, at the start and after each of its re-enumerations.
void follow_modem(Run& run, const FoundPort& port);

// 1 when each file of the firmware plan that decides a download can be opened in folder, tried in
// the plan's order.
int check_firmware_files(const char* folder);
