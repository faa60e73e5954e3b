// The shell around the upgrade worker: start-up, one worker at a time, stopping it, clean-up.
#include "app/upgrade.h"
#include "app/app_line.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "app/checked_mode.h"
#include "app/device_return.h"
#include "app/package_check.h"
#include "app/package_sums.h"
#include "app/run_log.h"
#include "app/run_record.h"
#include "app/worker.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/reasons.h"
#include "base/settings.h"
#include "base/shared_state.h"
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

int elapsed_seconds = 0;
bool windowless = false;

namespace {

std::mutex worker_lock;  // guards worker_thread
std::thread worker_thread;
std::atomic<bool> running{false};
std::atomic<int> succeeded{0};
std::atomic<bool> left_in_download_mode{false};
std::string stopped_note;  // guarded by worker_lock

// The verdict of the windowless start-up's package check, handed to the worker it starts.
struct StartupPackage {
    bool checked = false;
    Package package;
    std::string refusal;
    ChosenModem modem;  // the modem the start-up check chose
};
StartupPackage startup_package;

// The modem the dialog's last check chose; every run the dialog starts is bound to it, the one
// after a failed run too.
std::mutex dialog_modem_lock;
ChosenModem dialog_modem;

}  // namespace

DeviceLine& app_line() {
    static DeviceLine line;
    return line;
}

int init_globals() {
    refresh_program_folder();
    if (log_open()) log_run_header();
    return 1;
}

void app_cleanup() {
    // The port and the log are released only once no worker can use them any more.
    stop_worker();
    close_port(app_line());
    log_close();
}

int upgrade_init(UpgradeDialog* dialog) {
    std::string unchosen;
    return upgrade_init(dialog, "", &unchosen);
}

int upgrade_init(UpgradeDialog* dialog, const std::string& wanted_device, std::string* unchosen) {
    init_globals();
    // A run without a window starts whatever this returns; when its package is refused, the
    // worker says so before anything is sent, and the device is not even asked its version.
    if (windowless) {
        StartupPackage& checked = startup_package;
        checked.checked = true;
        if (!check_package(program_folder(), &checked.package, &checked.refusal)) {
            show_startup_info(dialog, "");
            return 0;
        }
        if (!checked.package.sealed) set_info(dialog, kNoSumsNote);
    }
    const int check =
        startup_check_of_modem(dialog, wanted_device, &startup_package.modem, unchosen);
    // Until a worker has run, the check alone tells where a stop leaves the modem.
    const int mode = recorded_checked_mode();
    left_in_download_mode = mode == MODE_DLOAD || mode == MODE_STREAM;
    return check;
}

int dialog_device_check(UpgradeDialog* dialog, const std::string& wanted) {
    ChosenModem chosen;
    std::string unchosen;
    const int check = startup_check_of_modem(dialog, wanted, &chosen, &unchosen);
    std::lock_guard<std::mutex> hold(dialog_modem_lock);
    dialog_modem = chosen;
    return check;
}

int upgrade_start(UpgradeDialog* dialog) {
    std::lock_guard<std::mutex> hold(worker_lock);
    // A second worker beside a running one would share the port with it.
    if (running) return 1;
    if (worker_thread.joinable()) worker_thread.join();  // the last run has ended

    if (dialog) dialog->enable_start(false);
    app_line().cancel.clear();
    running = true;
    StartupPackage checked = std::exchange(startup_package, StartupPackage{});
    if (!windowless) {
        std::lock_guard<std::mutex> hold_modem(dialog_modem_lock);
        checked.modem = dialog_modem;
    }
    worker_thread = std::thread([dialog, checked = std::move(checked)] {
        Run run;
        run.dialog = dialog;
        run.package_checked = checked.checked;
        run.package = checked.package;
        run.package_refusal = checked.refusal;
        run.search.location = checked.modem.location;
        run.serial = checked.modem.serial;
        run.download_mode = left_in_download_mode;  // what the start-up check found
        const RunRecordStart record = begin_run_record();
        upgrade_worker(run);
        // Every end of a run passes here, whether it succeeded, failed or was stopped.
        end_run_record(run, record, dialog, windowless);
        succeeded = run.succeeded ? 1 : 0;
        left_in_download_mode = run.download_mode;
        running = false;
    });
    if (windowless) worker_thread.join();
    return 1;
}

bool worker_running() {
    return running;
}

void stop_worker() {
    std::lock_guard<std::mutex> hold(worker_lock);
    if (!worker_thread.joinable()) return;
    const bool stopping = running;
    if (stopping) app_line().cancel.request();
    worker_thread.join();
    // A run that reached its success end while being asked to stop was not stopped.
    if (stopping && !succeeded) stopped_note = tell_run_stopped("");
}

std::string take_stopped_note() {
    std::lock_guard<std::mutex> hold(worker_lock);
    return std::exchange(stopped_note, std::string());
}

std::string tell_run_stopped(const std::string& again) {
    tell_reason("Stopped by the user");
    if (!left_in_download_mode) return "";
    std::string note = kDownloadModeLeft;
    if (!again.empty()) note += "\nTo start it again: " + again;
    log_write("%s\n", note.c_str());
    return note + "\n";
}

int last_run_succeeded() {
    return succeeded;
}
