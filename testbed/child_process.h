// Runs a program (the fwupgrade program in a windowless run, say) as a child of the test, in the
// mocked environment: it inherits the preload and the testbed's folder, so its unchanged libudev
// and serial port code meet the mocked devices.
#pragma once

#include <string>
#include <vector>

namespace testbed {

struct ChildResult {
    bool started = false;   // false: the program could not be started (start_error says why)
    int start_error = 0;    // the errno of the failed start
    bool finished = false;  // false: it was still running at the time limit and was killed
    int exit_status = -1;   // the exit status when it exited
    int signal = 0;         // the signal that ended it, 0 when it exited
    std::string output;     // standard output and standard error, interleaved
};

struct ChildOptions {
    int time_limit_ms = 60000;           // killed when still running after this
    std::vector<std::string> extra_env;  // "NAME=value", added to or replacing the current ones
    std::string working_dir;             // empty: the current one
    bool echo = false;                   // also copy the output to our standard output as it comes
};

// Where a shell would find the program name: a name with a '/' is taken as it is, any other is
// looked for in each folder of path_list (colon-separated, an empty entry meaning the current
// folder), the first executable regular file winning. Empty when it is found nowhere.
std::string find_program(const std::string& name, const std::string& path_list);

// find_program with $PATH, or the usual system folders when PATH is not set.
std::string find_program(const std::string& name);

// Runs argv[0] (a path) with argv in the current environment plus options.extra_env, and waits for
// it to end within the time limit.
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options);

inline ChildResult run_child(const std::vector<std::string>& argv, int time_limit_ms,
                             const std::vector<std::string>& extra_env = {},
                             const std::string& working_dir = "") {
    return run_child(argv, ChildOptions{time_limit_ms, extra_env, working_dir, false});
}

}  // namespace testbed
