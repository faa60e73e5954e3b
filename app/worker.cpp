#include "app/worker.h"

#include <algorithm>
#include <climits>

#include "app/checked_mode.h"
#include "app/device_return.h"
#include "app/package_sums.h"
#include "app/progress_plan.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/reasons.h"
#include "base/sent_file.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"
#include "probe/mode_probe.h"

namespace {

constexpr const char* kDownloadOkBox = "Download ok\n";
constexpr const char* kDownloadErrorBox =
    "Download has error, please close program and see download.dbg\n";

// The package is checked before anything is sent to the device (once per run: a windowless run's
// start-up has checked it already), and refused with the file and the reason in the information
// line.
bool package_ready(Run& run, const std::string& folder) {
    run.stage = "checking the package";
    run.stages.begin("package check");
    std::string refusal = run.package_refusal;
    const bool usable =
        run.package_checked ? refusal.empty() : check_package(folder, &run.package, &refusal);
    if (usable) {
        if (run.package.sealed)
            run.line.log().write("package: %s lists %d files, all of them match\n", kSumsFile,
                                 run.package.sealed_files);
        else
            run.line.log().write("package: %s\n", kNoSumsNote);
        return true;
    }
    set_status(run.dialog, "Package check failed!");
    set_info(run.dialog, refusal);
    run.line.log().tell_reason("package check: %s", refusal.c_str());
    return false;
}

// The flash programmer that the start-up check found a moment ago is asked its hello at once; a
// device that does not answer it is probed as any other.
int open_found_port(Run& run, int port) {
    if (take_checked_mode(run.session, port) == MODE_STREAM) {
        run.line.log().write(
            "port %d: the start-up check found the flash programmer; asking its hello\n", port);
        if (open_dl_port(run.line, port) != MODE_NONE) {
            log_mode_found(run.line.log(), port, MODE_STREAM);
            return MODE_STREAM;
        }
    }
    return probe_mode(run.line, port);
}

}  // namespace

int upgrade_worker(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    // A state left over from an earlier run that failed at or after its reset would let device
    // changes search (and close the port) under this run.
    hold_device_return(run.session, [&run] { set_device_state(run.session, DEVICE_IDLE); });
    run.line.log().restart_no_answer_notices();
    if (dialog) dialog->set_clock_timer(true);

    const std::string folder = run.session.package_folder.program_folder();
    run.package_folder = folder;
    run.search.settings = settings_path(folder);
    run.firmware_folder = run.package_folder + kFirmwareFolder;
    // Cleared even for a refused package: no file of an earlier run's package is judged now.
    expect_package_digests(run.line.log(), folder, {});
    if (!package_ready(run, folder)) return failure_end(run);
    expect_package_digests(run.line.log(), run.package.folder, run.package.digests);

    run.stage = "finding the device";
    run.stages.begin("finding the device");
    set_status(dialog, "Finding device...");
    set_info(dialog, "Warning: Do not plug out device during download process!");
    pause_ms(run.line, 1);

    // The search looks at the ports as they are listed: ours is let go of first.
    close_port(run.line);
    const std::optional<FoundPort> found = find_any_port(run.search);
    if (!found) {
        run.line.log().tell_reason(
            "no port of the device was found (settings.ini lists its identifiers)");
        return failure_end(run);
    }
    follow_modem(run, *found);
    const int port = found->number;

    const int mode = open_found_port(run, port);
    run.plan = plan_progress(run.package, mode);
    run.counter = 0;
    set_progress_range(dialog, static_cast<int>(std::min<long long>(run.plan.total, INT_MAX)));
    progress_advance(dialog, &run.counter, 0);
    if ((mode == MODE_DLOAD || mode == MODE_STREAM) && !run.package.has_firmware()) {
        // A device in download mode only takes firmware; a copy-only package cannot bring it back.
        set_info(dialog, "The device is in download mode, but the package holds no firmware.");
        run.line.log().tell_reason("the device is in download mode, but %s holds no firmware set",
                                   kFirmwareFolder);
        return failure_end(run);
    }
    // A device that does not answer (a stop refuses every exchange) leaves what was known before.
    if (mode != MODE_NONE) run.download_mode = mode == MODE_DLOAD || mode == MODE_STREAM;
    switch (mode) {
        case MODE_DIAG:
            return copy_stage(run);
        case MODE_DLOAD:
            return boot_downloader_stage(run);
        case MODE_STREAM:
            return streaming_stage(run);
        default:
            if (!stop_requested(run.line))
                run.line.log().tell_reason("the device answers none of its protocols on port %d",
                                           port);
            return failure_end(run);
    }
}

void follow_modem(Run& run, const FoundPort& port) {
    if (run.search.location.empty()) run.search.location = port.location;
    if (run.serial.empty()) run.serial = port.serial;
    run.line.log().write("modem at USB location %s, serial number %s, on port %d\n",
                         port.location.empty() ? "unknown" : port.location.c_str(),
                         port.serial.empty() ? "none" : port.serial.c_str(), port.number);
}

namespace {

// The dialog's lines say how the run ended before the box sits over them: the version the device
// now runs and where the log is. A console prints the log's path under the box itself.
void show_success(Run& run, const std::string& status) {
    set_status(run.dialog, status);
    const std::string log = run.line.log().path();
    std::string info = run.now_runs;
    if (!log.empty()) info += (info.empty() ? "Log: " : ". Log: ") + log;
    set_info(run.dialog, info);
}

}  // namespace

// A worker that is being stopped (the dialog is closing) ends without a box: nobody is left to
// answer it.
int success_end(Run& run, const std::string& status, int exit_code) {
    UpgradeDialog* dialog = run.dialog;
    run.succeeded = true;
    run.stages.end(stop_requested(run.line) ? "stopped" : "done");
    progress_reach(dialog, &run.counter, run.plan.total);  // the whole bar: the job is done
    if (dialog) dialog->set_clock_timer(false);
    if (!run.session.windowless) show_success(run, status);
    if (!stop_requested(run.line))
        message_boxes().show(kDownloadOkBox, kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
    if (run.session.windowless) {
        set_status(dialog, status);
        set_info(dialog, "");
    }
    if (dialog) dialog->post_close();
    return exit_code;
}

// The status line names the stage that failed; the port stays as it is (the next search or the
// clean-up closes it).
int failure_end(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.succeeded = false;
    run.stages.end(stop_requested(run.line) ? "stopped" : "failed");
    if (dialog) {
        dialog->set_clock_timer(false);
        dialog->enable_start(true);
    }
    if (!run.stage.empty()) run.line.log().write("failed while %s\n", run.stage.c_str());
    // A package file that changed under the run is what the user has to act on.
    const std::string changed = changed_package_file(run.line.log());
    if (!changed.empty()) set_info(dialog, changed);
    if (!run.session.windowless && !run.stage.empty())
        set_status(dialog, "Failed while " + run.stage);
    // Without a window the box is printed; the line under it says where the run stopped.
    std::string text = kDownloadErrorBox;
    if (run.session.windowless && !run.stage.empty())
        text += "The run failed while " + run.stage + ".\n";
    if (!stop_requested(run.line))
        message_boxes().show(text, kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
    return 0;
}

int fail_because(Run& run, int reasons_before, const std::string& why) {
    if (!stop_requested(run.line) && run.line.log().reasons_told() == reasons_before)
        run.line.log().tell_reason("%s", why.c_str());
    return failure_end(run);
}
