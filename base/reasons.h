// Why something failed, told to the user beside the download log.
//
// The log keeps every detail of a run; a reason is the one line a user needs to act on (which
// local file could not be read and why, which port could not be opened and how to fix it). Each
// reason goes to the log as a line of its own and to the listener, which a run without a window
// prints on its console.
//
// The functions below act on program_log(), the sink of the program's own run; a run on a device
// of its own tells through that device's sink (log_sink.h).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/log_sink.h"

// Logs the reason with a line end and hands it to the listener.
void tell_reason(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs the listener (an empty function removes it). It may be called from any thread.
void set_reason_listener(std::function<void(const std::string& reason)> listener);

// How many reasons have been told since the program started: a step that failed after telling
// its own reason (a file it could not read, say) is not given a second, vaguer one.
int reasons_told();

// A device that does not answer: the console of a run without a window says so, with how long it
// has been silent and the attempts of the request left (the dialog shows nothing of it; the log
// has every unanswered read already). A device is silent for a few seconds whenever it leaves to
// come back in another mode, so a silence is told once it has lasted kNoAnswerAfterMs of product
// time; then at most once in kNoAnswerGapMs, so that it does not flood the console.
constexpr int kNoAnswerAfterMs = 10000;
constexpr int kNoAnswerGapMs = 5000;
// silent: how long on clock (the device's line's) the device has not answered.
void tell_no_answer(Clock& clock, int attempts_left, std::chrono::milliseconds silent);

// Installs the listener of those notices (an empty function removes it).
void set_no_answer_listener(std::function<void(const std::string& notice)> listener);

// A new run shows its first notice at once, however soon after the last one of the run before.
void restart_no_answer_notices();
