// The upgrade dialog as the core sees it (UpgradeDialog). The worker calls it from its own thread;
// every call is carried out on the dialog's thread, in the order made. Calls made on the dialog's
// thread itself take effect at once.
#pragma once

#include <atomic>

#include "app/dialog.h"

class UpgradeWindow;

class QueuedDialog : public UpgradeDialog {
  public:
    explicit QueuedDialog(UpgradeWindow* window) : window_(window) {}

    void set_progress(int position) override;
    void set_range(int maximum) override;
    void set_status(const std::string& text) override;
    void set_info(const std::string& text) override;
    void set_clock_timer(bool running) override;
    void enable_start(bool enabled) override;
    void post_close() override;

    // From now on every call is dropped, queued ones included: the dialog is closing and its
    // controls no longer belong to a run.
    void shut() { open_ = false; }

  private:
    template <typename Call>
    void run(Call call);

    UpgradeWindow* window_;
    std::atomic<bool> open_{true};
};
