// The device-return state machine and the start-up device check.
//
// After the final reset of a firmware download the worker waits until the device shows up again,
// as its disk or as one of its ports. Device-change events (from the dialog's monitor, or from a
// DeviceEventThread in a windowless run) drive device_state; the worker only polls it.
#pragma once

#include <atomic>
#include <mutex>

#include "app/progress.h"

constexpr int DEVICE_IDLE = 0;       // no reset sent yet
constexpr int DEVICE_RESETTING = 1;  // the last image is written, the reset is on its way
constexpr int DEVICE_GONE = 2;       // the device's removal has been seen
constexpr int DEVICE_BACK_DISK = 3;  // the device's disk was found after an arrival
constexpr int DEVICE_BACK_PORT = 4;  // one of the device's ports was found after an arrival

extern std::atomic<int> device_state;

// Feeds one device-change event, DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE (see
// discovery/device_events.h); other codes are ignored. Callable from any thread at any time: it
// acts only in DEVICE_RESETTING and DEVICE_GONE, which a run enters at its final reset, and its
// port searches (which close the serial port) never overlap a worker's use of the port.
void on_device_change(int event);

// Held by the worker while it moves device_state at the start of a run and while it sends the final
// reset, and by on_device_change while it looks at the state and searches.
extern std::mutex device_return_lock;

// Finds the device's diag port, probes it and shows its firmware version beside the one the
// package installs, or why no upgrade can be offered, in the information line. Leaves the port
// closed. 1 when an upgrade may be offered.
int startup_device_check(DialogHandle dialog);
