// A program core for the dialog tests: its worker runs a script on a thread of its own, so that
// every step of a dialog's side (prompt, Start, clock, boxes from the worker's thread, closing
// during a run) can be driven and observed. The script sees the dialog and a stop flag; hold()
// keeps it waiting until the test releases it or a stop is asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_shell.h"
#include "app/package_folder.h"

class ScriptedCore {
  public:
    using Script = std::function<void(UpgradeDialog*, ScriptedCore&)>;
    static constexpr const char* kErrorText =
        "Download has error, please close program and see download.dbg\n";

    int init_result = 1;            // the start-up check's result
    std::deque<int> check_results;  // the next device checks' results; 0 once used up
    // The checks wait, as on a mute device, until release_check() or a cancel (at most
    // kCheckHoldMs, so that a dialog that waits for its check fails a test instead of hanging it).
    bool checks_hold = false;
    static constexpr int kCheckHoldMs = 20000;
    Script script;
    // The modems the dialog's chooser lists; read on the dialog's thread.
    std::vector<ModemEntry> modems;
    std::function<bool()> package_beside_program;  // empty: the package lies beside the program
    std::string stopped_note;      // what stop_worker's run leaves to tell, for the dialog's box
    PackageFolder package_folder;  // the folder browser's, as a session's

    ~ScriptedCore() { join(); }

    DialogShell shell() {
        DialogShell shell;
        shell.prepare = [this] { ++prepares; };
        shell.init = [this](UpgradeDialog*) {
            ++inits;
            hold_check();
            return init_result;
        };
        shell.check = [this](UpgradeDialog*) { return scripted_check(""); };
        shell.check_modem = [this](UpgradeDialog*, const std::string& wanted) {
            return scripted_check(wanted);
        };
        shell.modems = [this] { return modems; };
        shell.cancel_check = [this] {
            {
                std::lock_guard lock(mutex_);
                check_cancelled = true;
            }
            wake_.notify_all();
        };
        shell.start = [this](UpgradeDialog* dialog) { return start(dialog); };
        shell.worker_running = [this] { return running.load(); };
        shell.stop_worker = [this] {
            stop_calls++;
            stop_thread = std::this_thread::get_id();
            {
                std::lock_guard lock(mutex_);
                stop = true;
            }
            wake_.notify_all();
            join();
        };
        shell.stopped_note = [this] { return stopped_note; };
        shell.cleanup = [this] {
            cleanups++;
            worker_ended_at_cleanup = !running && !worker_.joinable();
        };
        shell.device_change = [this](int event) {
            std::lock_guard lock(mutex_);
            device_events_.push_back(event);
        };
        shell.package_beside_program = package_beside_program;
        shell.package_folder = &package_folder;
        return shell;
    }

    // In the script: waits for release() or a stop; true when released.
    bool hold() {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return released_ || stop; });
        return !stop;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        wake_.notify_all();
    }
    // The thread the last check ran on.
    std::thread::id check_thread() {
        std::lock_guard lock(mutex_);
        return check_thread_;
    }
    void release_check() {
        {
            std::lock_guard lock(mutex_);
            check_released_ = true;
        }
        wake_.notify_all();
    }
    // The modem each check after the start-up's was asked for ("": none chosen).
    std::vector<std::string> wanted() {
        std::lock_guard lock(mutex_);
        return wanted_;
    }
    std::vector<int> device_events() {
        std::lock_guard lock(mutex_);
        return device_events_;
    }

    // The failure end of a run as the worker does it.
    static void fail(UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_clock_timer(false);
        dialog->enable_start(true);
        core.box_answered = false;
        message_boxes().show(kErrorText, kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
        core.box_answered = true;
    }

    std::atomic<int> prepares{0};
    std::atomic<int> inits{0};
    std::atomic<int> checks{0};
    std::atomic<int> starts{0};
    std::atomic<int> overlapping_starts{0};
    std::atomic<int> stop_calls{0};
    std::atomic<int> cleanups{0};
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> check_cancelled{false};
    std::atomic<bool> box_answered{false};
    std::atomic<bool> worker_ended_at_cleanup{false};
    std::thread::id stop_thread;  // the thread stop_worker was called on

  private:
    int scripted_check(const std::string& wanted) {
        ++checks;
        hold_check();
        std::lock_guard lock(mutex_);
        wanted_.push_back(wanted);
        if (check_results.empty()) return 0;
        const int result = check_results.front();
        check_results.pop_front();
        return result;
    }
    void hold_check() {
        std::unique_lock lock(mutex_);
        check_thread_ = std::this_thread::get_id();
        if (!checks_hold) return;
        wake_.wait_for(lock, std::chrono::milliseconds(kCheckHoldMs),
                       [this] { return check_released_ || check_cancelled; });
    }
    int start(UpgradeDialog* dialog) {
        ++starts;
        if (running) {
            ++overlapping_starts;
            return 1;
        }
        join();
        dialog->enable_start(false);
        stop = false;
        released_ = false;
        running = true;
        worker_ = std::thread([this, dialog] {
            if (script) script(dialog, *this);
            running = false;
        });
        return 1;
    }
    void join() {
        if (worker_.joinable()) worker_.join();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
    bool check_released_ = false;
    std::thread::id check_thread_;
    std::vector<int> device_events_;
    std::vector<std::string> wanted_;
    std::thread worker_;
};
