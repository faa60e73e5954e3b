// What an upgrade dialog needs from the program's core, in one struct, so that tests can put a
// scripted worker in its place. The Qt dialog and the Win32 dialog both talk to the core through
// it.
#pragma once

#include <functional>
#include <string>

#include "app/dialog.h"

struct DialogShell {
    std::function<int(UpgradeDialog*)> init;       // upgrade_init
    std::function<int(UpgradeDialog*)> check;      // startup_device_check
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

    // The program's own core.
    static DialogShell product();
};
