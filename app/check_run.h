// fwupgrade --check: the package check, then the device found, its mode probed and its version
// read, and what a run would do printed. Nothing on the device is changed: the probe and the
// version query only read.
#pragma once

#include <cstdio>

// Prints to out; 0 when a run could start, 1 otherwise. With a document stream, what was found is
// also printed there as one JSON document.
int run_check(std::FILE* out, std::FILE* document = nullptr);
