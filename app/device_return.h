// The device-return state machine and the start-up device check.
//
// After the final reset of a firmware download the worker waits until the device shows up again,
// as its disk or as one of its ports. Device-change events (from the dialog's monitor, or from a
// DeviceEventThread in a windowless run) drive the session's device_state(); the worker only polls
// it. Each session has its own state and event queue.
#pragma once

#include <functional>
#include <string>

#include "app/modem_choice.h"
#include "app/session.h"
#include "base/progress.h"

constexpr int DEVICE_IDLE = 0;       // no reset sent yet
constexpr int DEVICE_RESETTING = 1;  // the last image is written, the reset is on its way
constexpr int DEVICE_GONE = 2;       // the device's removal has been seen
constexpr int DEVICE_BACK_DISK = 3;  // the device's disk was found after an arrival
constexpr int DEVICE_BACK_PORT = 4;  // one of the device's ports was found after an arrival

// Where the session's device is in its return; DEVICE_IDLE at the start. Any thread.
int device_state(Session& session);
void set_device_state(Session& session, int state);

// Feeds one device-change event, DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE (see
// discovery/device_events.h); other codes are ignored. Callable from any thread at any time, and
// it never waits for the worker: it acts only in DEVICE_RESETTING and DEVICE_GONE, which a run
// enters at its final reset, and an event that comes while the worker holds the state (below) is
// handled by the worker as soon as it lets go, so the port searches, which close the serial port,
// never overlap the worker's use of the port.
void on_device_change(Session& session, int event);

// The modem whose return is awaited from now on: the one plugged in at location (empty: any modem
// of the package). Another modem's ports and disk are neither this one staying nor coming back.
void await_modem_at(Session& session, const std::string& location);

// Runs step with the device-return state held: the worker moves device_state() at the start of a
// run and sends the final reset this way. Events that came meanwhile are handled afterwards, on the
// calling thread.
void hold_device_return(Session& session, const std::function<void()>& step);

// What startup_device_check returns when it cannot tell which modem to work on: several of the
// package are plugged in and none is chosen, or the chosen one is not plugged in.
constexpr int CHECK_SEVERAL_MODEMS = 2;

// "<n> modems of this package are plugged in: ..." when more than one is (counted by USB device,
// in any mode), else empty: the dialog's line while its chooser waits for a choice. Asks nothing
// of any device.
std::string several_modems_refusal(const std::string& settings);

// Finds the device's diag port, else one of its download ports, probes it and shows its firmware
// version beside the one the package installs, that Start resumes a download the device is waiting
// for, or why no upgrade can be offered, in the information line. Leaves the port closed. 1 when an
// upgrade may be offered; CHECK_SEVERAL_MODEMS (no device asked anything) when several modems of
// the package are plugged in; 0 otherwise. Called at start-up, and again by the dialog at each
// device arrival and removal while no run is going on.
int startup_device_check(Session& session, DialogHandle dialog);
// The same for a run without a window, which works on the modem that wanted names (its USB
// location or serial number), else on the only one plugged in: *chosen is where the run is bound
// from its start. When it cannot tell which modem to work on, CHECK_SEVERAL_MODEMS with the modems
// found (as --list shows them, none asked anything) and how to choose in *unchosen.
int startup_check_of_modem(Session& session, DialogHandle dialog, const std::string& wanted,
                           ChosenModem* chosen, std::string* unchosen);
// The same for a modem chosen already (run --all, which has listed the modems): no listing again.
int check_chosen_modem(Session& session, DialogHandle dialog, const ChosenModem& chosen);

// The information line at start-up. When no log could be written it begins with that news (see
// log_notice): the user must hear it before the run, since the log is where a failure is told.
void show_startup_info(DialogHandle dialog, const std::string& text);
