// Message boxes with MessageBoxA. A box has no owner window and is shown on the thread that asks
// for it: the worker's boxes on the worker's thread, which waits there until the user answers, and
// the dialog's own questions on the dialog's thread. The dialog stays usable while a box is open.
//
// Tests replace what shows the box (set_box_provider) and answer it themselves; the provider is
// called on the asking thread.
#pragma once

#include <functional>
#include <string>

#include "app/dialog.h"

struct BoxRequest {
    std::string text;
    std::string caption;
    unsigned type = 0;  // the MB_ flags as MessageBoxA gets them
};

// Returns the button pressed: IDOK, IDCANCEL, IDYES or IDNO.
using BoxProvider = std::function<int(const BoxRequest& request)>;

// An empty provider restores MessageBoxA.
void set_box_provider(BoxProvider provider);

// Shows the box and returns the button pressed, 0 while boxes are withdrawn.
int ask_box(const BoxRequest& request);

// While the dialog closes nobody is left to answer a box: withdrawing closes the boxes that are
// open (their askers get 0) and answers new ones with 0 without showing them.
void withdraw_boxes(bool withdrawn);

// The MessageBoxes of the core (app/dialog.h) on top of ask_box.
class Win32MessageBoxes : public MessageBoxes {
  public:
    bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
              BoxIcon icon) override;
};
