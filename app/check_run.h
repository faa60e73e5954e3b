// fwupgrade --check: the package check, then the device found, its mode probed and its version
// read, and what a run would do printed. Nothing on the device is changed: the probe and the
// version query only read.
#pragma once

#include <cstdio>
#include <string>

class Session;

// Prints to out; 0 when a run could start, 1 otherwise, 2 when it cannot tell which modem to check
// (several plugged in and none chosen, or the one wanted_device names is not plugged in). With a
// document stream, what was found is also printed there as one JSON document.
int run_check(Session& session, std::FILE* out, const std::string& wanted_device = "",
              std::FILE* document = nullptr);
