// The shell around the upgrade worker: start-up, one worker at a time, stopping it, clean-up.
#include "app/upgrade.h"

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
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

int init_globals(const Session& session) {
    if (log_open()) log_run_header(program_log(), session.package_folder.program_folder());
    return 1;
}

void app_cleanup(Session& session) {
    // The port and the log are released only once no worker can use them any more.
    stop_worker(session);
    close_port(session.line);
    log_close();
}

namespace {

// Until a worker has run, the check alone tells where a stop leaves the modem.
void note_mode_left_by_check(Session& session) {
    const int mode = recorded_checked_mode(session);
    session.worker.left_in_download_mode = mode == MODE_DLOAD || mode == MODE_STREAM;
}

}  // namespace

int upgrade_init(Session& session, UpgradeDialog* dialog) {
    std::string unchosen;
    return upgrade_init(session, dialog, "", &unchosen);
}

int upgrade_init(Session& session, UpgradeDialog* dialog, const std::string& wanted_device,
                 std::string* unchosen) {
    init_globals(session);
    // A run without a window starts whatever this returns; when its package is refused, the
    // worker says so before anything is sent, and the device is not even asked its version.
    if (session.windowless) {
        StartupPackage& checked = session.startup_package;
        checked.checked = true;
        const std::string folder = session.package_folder.program_folder();
        if (!check_package(folder, &checked.package, &checked.refusal)) {
            show_startup_info(dialog, "");
            return 0;
        }
        if (!checked.package.sealed) set_info(dialog, kNoSumsNote);
    }
    return check_modem_for_run(session, dialog, wanted_device, unchosen);
}

int check_modem_for_run(Session& session, UpgradeDialog* dialog, const std::string& wanted_device,
                        std::string* unchosen) {
    const int check = startup_check_of_modem(session, dialog, wanted_device,
                                             &session.startup_package.modem, unchosen);
    note_mode_left_by_check(session);
    return check;
}

int check_modem_for_run(Session& session, UpgradeDialog* dialog, const ChosenModem& listed) {
    session.startup_package.modem = listed;
    const int check = check_chosen_modem(session, dialog, listed);
    note_mode_left_by_check(session);
    return check;
}

int dialog_device_check(Session& session, UpgradeDialog* dialog, const std::string& wanted) {
    ChosenModem chosen;
    std::string unchosen;
    const int check = startup_check_of_modem(session, dialog, wanted, &chosen, &unchosen);
    std::lock_guard<std::mutex> hold(session.dialog_choice.lock);
    session.dialog_choice.modem = chosen;
    return check;
}

int upgrade_start(Session& session, UpgradeDialog* dialog) {
    WorkerState& worker = session.worker;
    std::lock_guard<std::mutex> hold(worker.lock);
    // A second worker beside a running one would share the port with it.
    if (worker.running) return 1;
    if (worker.thread.joinable()) worker.thread.join();  // the last run has ended

    if (dialog) dialog->enable_start(false);
    session.line.cancel.clear();
    worker.running = true;
    StartupPackage checked = std::exchange(session.startup_package, StartupPackage{});
    if (!session.windowless) {
        std::lock_guard<std::mutex> hold_modem(session.dialog_choice.lock);
        checked.modem = session.dialog_choice.modem;
    }
    worker.thread = std::thread([&session, dialog, checked = std::move(checked)] {
        WorkerState& worker = session.worker;
        Run run(session);
        run.dialog = dialog;
        run.package_checked = checked.checked;
        run.package = checked.package;
        run.package_refusal = checked.refusal;
        run.search.location = checked.modem.location;
        run.serial = checked.modem.serial;
        run.download_mode = worker.left_in_download_mode;  // what the start-up check found
        const RunRecordStart record = begin_run_record(session);
        upgrade_worker(run);
        // Every end of a run passes here, whether it succeeded, failed or was stopped.
        end_run_record(run, record, dialog, session.windowless);
        worker.succeeded = run.succeeded ? 1 : 0;
        worker.left_in_download_mode = run.download_mode;
        worker.running = false;
    });
    if (session.windowless) worker.thread.join();
    return 1;
}

bool worker_running(Session& session) {
    return session.worker.running;
}

void stop_worker(Session& session) {
    WorkerState& worker = session.worker;
    std::lock_guard<std::mutex> hold(worker.lock);
    if (!worker.thread.joinable()) return;
    const bool stopping = worker.running;
    if (stopping) session.line.cancel.request();
    worker.thread.join();
    // A run that reached its success end while being asked to stop was not stopped.
    if (stopping && !worker.succeeded) worker.stopped_note = tell_run_stopped(session, "");
}

std::string take_stopped_note(Session& session) {
    std::lock_guard<std::mutex> hold(session.worker.lock);
    return std::exchange(session.worker.stopped_note, std::string());
}

std::string tell_run_stopped(Session& session, const std::string& again) {
    session.log().tell_reason("Stopped by the user");
    if (!session.worker.left_in_download_mode) return "";
    std::string note = kDownloadModeLeft;
    if (!again.empty()) note += "\nTo start it again: " + again;
    session.log().write("%s\n", note.c_str());
    return note + "\n";
}

int last_run_succeeded(Session& session) {
    return session.worker.succeeded;
}
