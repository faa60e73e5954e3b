// The dialog as the protocol code sees it: a progress bar, a status line and an information line.
// A long operation receives a DialogHandle, or nullptr for none; with none nothing is written and
// no progress tick happens. The Qt dialog and the console display implement this interface.
#pragma once

#include <string>

class Progress {
  public:
    virtual ~Progress() = default;
    virtual void set_progress(int position) = 0;  // control 1011
    // The bar's range, 0..maximum (185 until a run sets the number of ticks it will make).
    virtual void set_range(int /*maximum*/) {}
    virtual void set_status(const std::string& text) = 0;  // control 1017
    virtual void set_info(const std::string& text) = 0;    // control 1018
};

using DialogHandle = Progress*;

// Each does nothing when dialog is nullptr.
void set_progress(DialogHandle dialog, int position);
void set_progress_range(DialogHandle dialog, int maximum);
void set_status(DialogHandle dialog, const std::string& text);
void set_info(DialogHandle dialog, const std::string& text);

// A progress tick: the bar takes the counter's value, then the counter goes up by one.
// Nothing happens without a dialog or without a counter.
void progress_tick(DialogHandle dialog, int* counter);
