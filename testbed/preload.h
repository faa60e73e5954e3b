// The mocked device database only exists for a process that runs under umockdev's preload library,
// and the process that builds the testbed must itself run under it (adding a device with a parent
// checks the real /sys otherwise, and no uevents go out).
#pragma once

namespace testbed {

// Call first thing in main(). Re-executes the program with the preload (after the ASan runtime in
// a sanitizer build, which must come first) unless it already runs under it; returns in the
// preloaded process. Listing tests (--gtest_list_tests) needs no testbed and is not re-executed.
// Before umockdev's preload goes the testbed's own, which lets the mocked serial ports' reads and
// writes reach their pseudo-terminals directly (testbed/mocked_port_io.cpp); programs started
// from the process inherit both.
void reexec_under_preload(int argc, char** argv);

// True when the preload is active in this process.
bool under_preload();

}  // namespace testbed
