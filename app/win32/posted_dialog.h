// The upgrade dialog as the core sees it (UpgradeDialog) on Win32. The worker calls it from its own
// thread; each call is queued and carried out on the dialog's thread, in the order made, when the
// dialog's message loop reaches the message posted for it. The worker never waits for the dialog.
// Calls made on the dialog's thread itself take effect at once.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

#include "app/dialog.h"

class UpgradeWindow;

// Posted to the dialog when calls wait in the queue.
constexpr UINT kRunQueuedCalls = WM_APP + 1;

class PostedDialog : public UpgradeDialog {
  public:
    explicit PostedDialog(UpgradeWindow* window) : window_(window) {}

    // The dialog's window and thread, once the window exists.
    void attach(HWND window);

    void set_progress(int position) override;
    void set_range(int maximum) override;
    void set_status(const std::string& text) override;
    void set_info(const std::string& text) override;
    void set_clock_timer(bool running) override;
    void enable_start(bool enabled) override;
    void post_close() override;

    // On the dialog's thread, at kRunQueuedCalls: carries out the calls that wait.
    void run_queued();
    // From now on every call is dropped, queued ones included: the dialog is closing and its
    // controls no longer belong to a run.
    void shut() { open_ = false; }

  private:
    void run(std::function<void()> call);

    UpgradeWindow* window_;
    HWND hwnd_ = nullptr;
    DWORD thread_ = 0;
    std::atomic<bool> open_{true};
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};
