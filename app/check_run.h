// fwupgrade --check: the package check, then the device found, its mode probed and its version
// read, and what a run would do printed. Nothing on the device is changed: the probe and the
// version query only read.
#pragma once

#include <cstdio>

class Session;

// Prints to out; 0 when a run could start, 1 otherwise.
int run_check(Session& session, std::FILE* out);
