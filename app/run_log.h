// The lines that make download.dbg read as the evidence of a run: what ran on which package and
// settings, what the mode probe asks and what it found, and when each stage began and ended. They
// come beside the protocol's own lines, which stay as they are and carry no time.
#pragma once

#include <string>
#include <vector>

#include "base/clock.h"
#include "link/device_line.h"

// The first block of a log: the program's version, the date and time, the package folder, the
// identifiers its settings.ini lists and whether SHA256SUMS seals the package. folder is the
// package folder with its trailing '/'. Written to log.
void log_run_header(LogSink& log, const std::string& folder);

// The items joined with ", " for a message; "none" when there are none.
std::string joined(const std::vector<std::string>& items);
// The port identifiers the settings file at settings lists, "diag0=..., download0=...", for a
// message.
std::string port_identifiers_text(const std::string& settings);

// The mode probe of port (open_port of probe/mode_probe.h), after a line naming the protocols it
// asks and saying that the failures logged for the ones the device does not speak are expected,
// and before a line naming the mode found.
int probe_mode(DeviceLine& line, int port);
// The line naming the mode found on port.
void log_mode_found(LogSink& log, int port, int mode);

// The time of day on the wall clock, "22:41:07.123"; durations are taken on the run's clock.
std::string time_of_day();

// The stage a run is in: its begin and its end each get a line with the time of day, the end with
// how long the stage took on the run's clock; both go to the run's sink.
class StageLog {
  public:
    StageLog(Clock& clock, LogSink& log) : clock_(&clock), log_(&log) {}

    // Ends the stage in progress as done, then begins name.
    void begin(const std::string& name);
    // Ends the stage in progress, if any, saying how: "done", "failed", "stopped".
    void end(const char* how);

  private:
    Clock* clock_;
    LogSink* log_;
    std::string name_;
    Clock::TimePoint began_{};
};
