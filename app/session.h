// One modem's run and everything it needs: its device line (port, clock, stop, exchange records),
// the device's return after its final reset with the events that drive it, what
// the start-up check found, and the worker. The program's own run makes one session in main and
// hands it to the dialog or the console; a test makes as many as it likes, each on its own clock.
//
// The parts are kept by the modules that work on them (device_return.cpp, checked_mode.cpp,
// upgrade.cpp); the session only owns them, so that nothing of a run lives beside it.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/history.h"
#include "app/modem_choice.h"
#include "app/package_check.h"
#include "app/package_folder.h"
#include "base/clock.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"

// Where the device is in its return after the final reset (one of the DEVICE_* states of
// app/device_return.h), and the device-change events waiting for whoever holds the state.
struct DeviceReturnState {
    std::atomic<int> state{0};
    std::mutex hold_lock;  // held while the state is worked on
    std::mutex pending_lock;
    std::vector<int> pending_events;  // guarded by pending_lock
    // The ports and disk of the modem being awaited: the location its run is bound to (empty:
    // any). Guarded by hold_lock.
    PortSearch awaited;
};

// What the start-up check found, for the worker that follows it (app/checked_mode.h).
struct CheckedRecord {
    std::mutex lock;
    int port = -1;
    int mode = 0;  // MODE_NONE
    Clock::TimePoint at;
    std::string version;
};

// The verdict of the windowless start-up's package check, handed to the worker it starts.
struct StartupPackage {
    bool checked = false;
    Package package;
    std::string refusal;
    ChosenModem modem;  // the modem the start-up check chose
};

// The upgrade worker's thread and what its last run left behind (app/upgrade.h).
struct WorkerState {
    std::mutex lock;  // guards thread and stopped_note
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<int> succeeded{0};
    std::atomic<bool> left_in_download_mode{false};
    std::string stopped_note;
};

// The modem the dialog's last check chose: every run the dialog starts is bound to it, the one
// after a failed run too.
struct DialogChoice {
    std::mutex lock;
    ChosenModem modem;
};

// The history entry of the session's last run, for the document a run without a window prints at
// its end.
struct LastRunEntry {
    std::mutex lock;
    std::optional<HistoryEntry> entry;  // guarded by lock
};

class Session {
  public:
    // The line's port starts closed; a test hands in a clock (and a port, and a sink) of its own.
    // The sink outlives the session.
    explicit Session(Clock& clock = real_clock(), LogSink& log = program_log()) : line(clock, log) {
        device_return.awaited.log = &log;
    }
    Session(Clock& clock, std::unique_ptr<CSerialPort> port, LogSink& log = program_log())
        : line(clock, std::move(port), log) {
        device_return.awaited.log = &log;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // A worker still running is stopped first: it uses the line and the states below.
    ~Session();

    Clock& clock() const { return line.clock(); }
    // Where the run's log lines and reasons go: the line's sink.
    LogSink& log() const { return line.log(); }

    DeviceLine line;
    // A run without the dialog: upgrade_start then waits for the worker to end, and the texts speak
    // of the console.
    bool windowless = false;
    PackageFolder package_folder;
    DeviceReturnState device_return;
    CheckedRecord checked;
    StartupPackage startup_package;
    DialogChoice dialog_choice;
    WorkerState worker;
    LastRunEntry last_entry;
};
