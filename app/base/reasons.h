// Why something failed, told to the user beside the download log.
//
// The log keeps every detail of a run; a reason is the one line a user needs to act on (which
// local file could not be read and why, which port could not be opened and how to fix it). Each
// reason goes to the log as a line of its own and to the listener, which a run without a window
// prints on its console.
#pragma once

#include <functional>
#include <string>

// Logs the reason with a line end and hands it to the listener.
void tell_reason(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs the listener (an empty function removes it). It may be called from any thread.
void set_reason_listener(std::function<void(const std::string& reason)> listener);

// How many reasons have been told since the program started: a step that failed after telling
// its own reason (a file it could not read, say) is not given a second, vaguer one.
int reasons_told();
