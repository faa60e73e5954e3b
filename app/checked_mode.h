// The mode the start-up check found, handed to the worker that follows it.
//
// A modem left in its flash programmer answers only the last of the probe's four protocols, so
// probing it costs about 15 s. When the worker starts right after the check, with no device
// arriving or leaving in between, it asks that port in the mode the check found instead of probing
// it again; the first exchange of that mode proves it.
#pragma once

#include <string>

class Session;

// Each works on the record of one session (its CheckedRecord).

// The start-up check probed port and the device answered in mode (a MODE_* of probe/mode_probe.h).
void record_checked_mode(Session& session, int port, int mode);
// A device arrived or left: whatever the check found may be another device now.
void note_device_event(Session& session);
// The mode the last check found on port, when the check is fresh (no device event since, at most
// a few seconds old); MODE_NONE otherwise. A record is taken once.
int take_checked_mode(Session& session, int port);
// The build version the start-up check read from the modem.
void record_checked_version(Session& session, const std::string& version);
// That version, once: the next run takes it as the one its modem ran before; empty when the check
// read none since the last run took it.
std::string take_checked_version(Session& session);
// The mode the last check found, left in place for the worker; MODE_NONE when none is recorded.
// A run stopped before its worker began learns from it where the modem is.
int recorded_checked_mode(Session& session);
