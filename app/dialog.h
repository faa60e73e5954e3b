// The upgrade dialog as the worker and the shell see it, and the message boxes. The Qt dialog and
// the console display of windowless runs implement UpgradeDialog; calls may come from the worker's
// thread, and an implementation carries them out on its own thread.
#pragma once

#include <string>

#include "base/progress.h"

// Where the upgrade dialog shows what the protocol code reports through Progress: set_progress and
// set_range in the progress bar IDC_PROGRESS (1011, range 0..PROGRESS_RANGE_MAX until a run sets
// its own), set_status in the status line IDC_STATUS (1017), set_info in the information line
// IDC_INFO (1018). The console display shows the same three in its line.
class UpgradeDialog : public Progress {
  public:
    // ID_TIMER_CLOCK (1000 ms): each tick adds one to elapsed_seconds and shows "%02d:%02d".
    virtual void set_clock_timer(bool running) = 0;
    // Enables or disables Start (1014) together with the browse button (1013).
    virtual void enable_start(bool enabled) = 0;
    // Asks the dialog to close, as WM_CLOSE posted to it.
    virtual void post_close() = 0;
};

constexpr const char* kBoxCaption = "Upgrade Tools";

// The question a dialog asks when it is closed while a worker runs.
constexpr const char* kStopRunQuestion =
    "The upgrade is still running. Stopping it now may leave the device unusable.\n"
    "Stop the upgrade and close?";

enum class BoxButtons { Ok, OkCancel };
enum class BoxIcon { Question, Information, Error };

// Message boxes have no owner window and are shown with or without a dialog. show blocks the
// calling thread until the user answers; it returns true for OK.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
                      BoxIcon icon) = 0;
};

// The boxes in use; windowless runs print them until a dialog (or a test) installs its own.
MessageBoxes& message_boxes();
void set_message_boxes(MessageBoxes* boxes);  // nullptr restores the printing boxes
