// The program's shell: start-up, starting the worker, clean-up.
#pragma once

#include <string>

#include "app/dialog.h"
#include "app/session.h"

// Each operation works on the session of the modem it runs for.

// init_globals, then the start-up device check: its result (1 when an upgrade may be offered).
int upgrade_init(Session& session, UpgradeDialog* dialog);
// The same for a run without a window on the modem that wanted names (--device; empty: the only
// one plugged in); the run is then bound to it from its start. *unchosen says why, and which modems
// there are, when the check cannot tell which modem to work on.
int upgrade_init(Session& session, UpgradeDialog* dialog, const std::string& wanted_device,
                 std::string* unchosen);
// The start-up check of that modem alone, for a run without a window whose log is open and whose
// package verdict (session.startup_package) is set: upgrade_init after those two.
int check_modem_for_run(Session& session, UpgradeDialog* dialog, const std::string& wanted_device,
                        std::string* unchosen);
// The same for a modem listed already, which the run is then bound to.
int check_modem_for_run(Session& session, UpgradeDialog* dialog, const ChosenModem& listed);
// The dialog's device check of the modem the chooser names (wanted: its location or serial
// number; empty: the only one plugged in), as --device chooses it for a run without a window: the
// runs the dialog starts afterwards are bound to the modem it chose. Returns as
// startup_device_check.
int dialog_device_check(Session& session, UpgradeDialog* dialog, const std::string& wanted);
// Starts the upgrade worker with the dialog (or nullptr) and returns 1. A windowless run waits for
// the worker to end (the session's windowless option). A start while a worker runs does nothing.
int upgrade_start(Session& session, UpgradeDialog* dialog);
// The download log, with its first block naming the package folder.
int init_globals(const Session& session);
// Releases what init_globals set up: the serial port first, then the log.
void app_cleanup(Session& session);

// True while a worker runs.
bool worker_running(Session& session);
// Asks a running worker to stop at its next exchange and waits until it has ended. A worker that
// was running is told stopped by the user (tell_run_stopped, without a command); its note waits
// for take_stopped_note.
void stop_worker(Session& session);
// The note of the run stop_worker stopped last, once; empty when there is nothing to tell.
std::string take_stopped_note(Session& session);

// The text a stopped run gives when it leaves the modem in its download mode.
inline constexpr const char* kDownloadModeLeft =
    "The modem is in download mode: start the upgrade again to finish the firmware download";

// Logs "Stopped by the user" as the reason the last run ended, and, when that run left the modem
// in its boot downloader or flash programmer, logs and returns kDownloadModeLeft (followed, when
// again is not empty, by the command that starts the upgrade again). Empty when the modem was left
// in normal mode: the user has nothing to do.
std::string tell_run_stopped(Session& session, const std::string& again);
// 1 when the last run ended with success, 0 otherwise (the windowless exit status follows it).
int last_run_succeeded(Session& session);
