// What the console display needs to know about the stream it writes to, and how a windowless run
// learns that the user wants it to stop. One file per platform implements these.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

// True when the stream is a terminal (the display then rewrites one line in place).
bool is_terminal(std::FILE* stream);

// The terminal's width in columns; 80 when it cannot be told.
int terminal_width(std::FILE* stream);

// While it exists, an interrupt from the user (Ctrl-C, a request to terminate, or the terminal
// hanging up) calls on_interrupt, on a thread of its own, instead of ending the process; a second
// interrupt ends the process at once. on_interrupt gets the exit status the shell gives a process
// ended by that interrupt (128 + the signal's number: 130 for Ctrl-C), which a run that stops for
// it ends with. Writing to a closed pipe or terminal then fails instead of ending the process.
// Create it before any other thread.
class InterruptWatch {
  public:
    explicit InterruptWatch(std::function<void(int exit_status)> on_interrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
