// The upgrade dialog IDD_UPGRADE on Win32, made from the program's dialog resource and run modally.
// The dialog talks to the core only through DialogShell, so that tests can put a scripted worker in
// its place.
//
// The device check runs on a thread of its own, the window already on the screen; Start waits for
// its verdict. Closing during a check cancels it and does not wait for the device.
//
// Closing while a worker runs asks first; on yes the worker is told to stop at its next exchange,
// a helper thread waits for it while this thread keeps dispatching messages (the worker may still
// want a box or queue control writes), and only once it has ended is the port and the log released.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_shell.h"
#include "app/win32/posted_dialog.h"

// Posted to the dialog by the helper thread once the worker has ended.
constexpr UINT kWorkerStopped = WM_APP + 2;
// Posted to the dialog by the device check's thread as its last act; wparam holds its result.
constexpr UINT kCheckEnded = WM_APP + 3;

class UpgradeWindow {
  public:
    explicit UpgradeWindow(DialogShell shell);
    ~UpgradeWindow();
    UpgradeWindow(const UpgradeWindow&) = delete;
    UpgradeWindow& operator=(const UpgradeWindow&) = delete;

    // Makes the dialog from the resource of the running program and runs it on this thread until
    // the close has run to its end (worker stopped, clean-up done). -1 when it could not be made.
    INT_PTR run();

    UpgradeDialog* dialog() { return &posted_; }
    // Seconds shown by the clock; never reset.
    std::atomic<int> elapsed_seconds{0};
    // True once the close has run to its end.
    bool closed() const { return closed_; }
    // True while a device check runs.
    bool checking() const { return check_thread_.running(); }

    // The control writes, on the dialog's thread (PostedDialog brings them here).
    void show_progress(int position);
    void show_range(int maximum);
    void show_status(const std::string& text);
    void show_info(const std::string& text);
    void set_clock_running(bool running);
    void set_start_enabled(bool enabled);
    // The worker's close after a successful run: close without asking.
    void close_when_worker_ends();

  private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void handle(UINT message, WPARAM wparam);
    void run_check(bool at_start_up);
    void on_check_ended(int result);
    void refresh_modems();
    void show_modem_chooser(bool shown);
    void on_modem_chosen();
    void on_init();
    void center_window();
    void on_timer(UINT_PTR id);
    void on_command(int id, int code);
    void on_prompt_timer();
    void on_clock_timer();
    void on_start();
    void browse_folder();
    void on_device_change(WPARAM wparam);
    void check_device_again();
    void on_close();
    void begin_close();
    void finish_close();

    void draw_status();

    DialogShell shell_;
    PostedDialog posted_{this};
    HWND window_ = nullptr;
    bool com_ready_ = false;
    bool closing_ = false;
    bool asking_to_stop_ = false;   // the question of a close during a run is open
    bool awaiting_device_ = false;  // the last device check failed
    bool closed_ = false;
    bool prompt_after_check_ = false;  // the prompt's time came during a check
    DeviceCheckThread check_thread_;
    std::thread stopper_;
    // The status line: the worker's text, then, once a run has set the bar's range, the share of
    // the run done ("42%").
    std::string status_;
    int range_ = 0;  // 0: no run has set it
    int position_ = 0;
    int percent_ = -1;  // the share on the line now
    // The chooser's modems, and the one chosen (its ModemEntry::wanted; empty: none).
    std::vector<ModemEntry> modems_;
    std::string chosen_;
};
