// The program's process-wide values, kept in one place so that one call puts them all back as the
// program starts with them. Plain values only: what owns a resource (the serial port, the log)
// lives with the code that uses it.
#pragma once

#include <string>

// The folder that holds the executable, with a trailing '/', as compute_program_folder last found
// it for the run (see refresh_program_folder in base/settings.h); empty before that.
std::string program_folder();
void set_program_folder(const std::string& folder);

// Where the device is in its return after the final reset: one of the DEVICE_* states of
// app/device_return.h, 0 (DEVICE_IDLE) at the start. Read and written from any thread.
int device_state();
void set_device_state(int state);

// Puts every value above back as the program starts with it. For tests, which share one process.
void reset_shared_state();
