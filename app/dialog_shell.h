// What an upgrade dialog needs from the program's core, in one struct, so that tests can put a
// scripted worker in its place. The Qt dialog and the Win32 dialog both talk to the core through
// it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog.h"
#include "app/modem_choice.h"
#include "app/session.h"

// The information line while the device check runs.
constexpr const char* kLookingForDevice = "Looking for the device...";

struct DialogShell {
    // init_globals: the download log; on the dialog's thread, before the first check. May be
    // empty.
    std::function<void()> prepare;
    // The start-up device check (upgrade_init without the preparations), run off the dialog's
    // thread: a mute device keeps it busy for many seconds.
    std::function<int(UpgradeDialog*)> init;
    std::function<int(UpgradeDialog*)> check;  // startup_device_check, off the dialog's thread
    // Asks a running check to end at its next exchange; callable from any thread. May be empty.
    std::function<void()> cancel_check;
    std::function<int(UpgradeDialog*)> start;      // upgrade_start
    std::function<bool()> worker_running;          // worker_running
    std::function<void()> stop_worker;             // asks the worker to stop and waits for it
    std::function<void()> cleanup;                 // app_cleanup
    std::function<void(int event)> device_change;  // on_device_change
    // After stop_worker: where the stopped run left the modem and what to do, for a box; empty
    // when there is nothing to tell (take_stopped_note).
    std::function<std::string()> stopped_note;
    // package_beside_program; when empty the dialog takes the package beside the program.
    std::function<bool()> package_beside_program;

    // The check of the modem the dialog's chooser names (empty: none chosen), used instead of
    // check when set.
    std::function<int(UpgradeDialog*, const std::string& wanted)> check_modem;
    // The modems of the package plugged in, for the chooser (modem_entries). May be empty.
    std::function<std::vector<ModemEntry>()> modems;
    // The session's package folder, which the folder browser reads and sets; never null.
    PackageFolder* package_folder = nullptr;

    // The program's own core, working on session (which outlives the dialog).
    static DialogShell product(Session& session);
};

// A dialog's device check on a thread of its own, so that the window is on the screen and answers
// while the device is looked for. One check at a time; the dialog learns the end through done,
// which the check's thread calls as its last act and which must only post to the dialog, and then
// calls finish on its own thread.
class DeviceCheckThread {
  public:
    DeviceCheckThread() = default;
    DeviceCheckThread(const DeviceCheckThread&) = delete;
    DeviceCheckThread& operator=(const DeviceCheckThread&) = delete;
    ~DeviceCheckThread() { wait(); }

    // Waits for the last check (it has ended or is ending), then runs check.
    void start(std::function<int()> check, std::function<void(int result)> done);
    // Returns once no check runs. A check that was cancelled ends at its next exchange.
    void wait();
    // From start until finish; readable from any thread.
    bool running() const { return running_; }
    // The dialog takes the end of the check. True when a device came or went while it ran: its
    // verdict is stale and the check is to run again.
    bool finish();
    // A modem plugged in after the program started is offered the upgrade without a restart, and
    // one plugged in beside it takes the offer back until either is unplugged: the check runs again
    // at each arrival and removal. True when no check runs, so the caller starts one now; a running
    // check is marked stale instead.
    bool device_changed();

  private:
    std::thread thread_;
    std::atomic<bool> running_{false};
    bool stale_ = false;  // a device came or went while the check ran
};

// Where the folder browser opens: the package folder when it exists, else home when it exists,
// else empty (the browser's own default). Never a folder that is not there.
std::string folder_browser_start(const PackageFolder& package, const std::string& home);

// Why folder cannot be taken as the package folder (the package check's reason), empty when it
// can.
std::string package_folder_refusal(const std::string& folder);
