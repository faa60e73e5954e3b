// The upgrade dialog of a run without a window, on standard error.
//
// On a terminal it keeps one line that is rewritten in place: elapsed time "mm:ss", the progress as
// a bar and a percentage of the range (0..185 until a run sets its own), and the status text; the
// information line is printed above it whenever it changes. Elsewhere (a pipe, a file) it prints
// one plain line per status or information change and no control characters.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "app/dialog.h"
#include "res/resource.h"

// Texts can come from the device (its version string) or from its USB descriptors: nothing in them
// may steer the terminal. Control bytes become '?'.
std::string printable(const std::string& text);

class ConsoleDisplay : public UpgradeDialog, public MessageBoxes {
  public:
    // terminal: rewrite one line in place instead of printing plain lines. boxes: where a box that
    // tells no error is printed (a run whose standard output carries a document prints it on out).
    ConsoleDisplay(std::FILE* out, bool terminal, std::FILE* boxes = stdout);
    // Stops the clock and ends a line left open.
    ~ConsoleDisplay() override;
    ConsoleDisplay(const ConsoleDisplay&) = delete;
    ConsoleDisplay& operator=(const ConsoleDisplay&) = delete;

    void set_progress(int position) override;
    void set_range(int maximum) override;
    void set_status(const std::string& text) override;
    void set_info(const std::string& text) override;
    // A clock that counts real seconds into its elapsed seconds while it runs; never reset.
    void set_clock_timer(bool running) override;
    void enable_start(bool) override {}
    void post_close() override {}

    // Ends the line in progress, then prints the box as a windowless run does.
    bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
              BoxIcon icon) override;

    // A reason for a failure, on a line of its own above the status line; the same reason twice
    // in a row (a port tried in every pass) is shown once.
    void show_reason(const std::string& text);
    // That the device is not answering, on a line of its own above the status line.
    void show_no_answer(const std::string& text);

  private:
    std::string line_for(int width) const;                         // lock held
    void draw_line();                                              // terminal only; lock held
    void update_percent();                                         // lock held
    void print_above(const char* label, const std::string& text);  // lock held
    void stop_clock();
    std::string clock_text() const;

    std::FILE* out_;
    std::FILE* boxes_;
    bool terminal_;
    std::mutex lock_;
    std::condition_variable clock_wake_;
    std::thread clock_;
    bool clock_running_ = false;
    int elapsed_seconds_ = 0;  // lock held
    bool line_open_ = false;
    int position_ = 0;
    int range_ = PROGRESS_RANGE_MAX;
    int percent_ = 0;  // the highest share shown so far
    std::string status_;
    std::string info_;
    std::string reason_;
};
