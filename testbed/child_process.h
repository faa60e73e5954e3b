// Runs a program (the fwupgrade program in a windowless run, say) as a child of the test, in the
// mocked environment: it inherits the preload and the testbed's folder, so its unchanged libudev
// and serial port code meet the mocked devices.
#pragma once

#include <string>
#include <vector>

namespace testbed {

struct ChildResult {
    bool finished = false;  // false: it was still running at the time limit and was killed
    int exit_status = -1;   // the exit status when it exited
    int signal = 0;         // the signal that ended it, 0 when it exited
    std::string output;     // standard output and standard error, interleaved
};

// Runs argv[0] (a path) with argv, the current environment plus extra_env ("NAME=value"), in
// working_dir (empty: the current one), and waits at most time_limit_ms for it to end.
ChildResult run_child(const std::vector<std::string>& argv, int time_limit_ms,
                      const std::vector<std::string>& extra_env = {},
                      const std::string& working_dir = "");

}  // namespace testbed
