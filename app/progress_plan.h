// The progress bar's plan for one run: where the bar stands at the end of each step, in the bar's
// unit (base/progress.h), so that the bar's position is the share of the run's expected time
// done. Made once per run from the package's sizes and the mode the device was found in.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/package_check.h"

// The steps besides the firmware files, which are steps by their own names.
constexpr const char* kStepCopy = "copy";                   // home tree and image.iso
constexpr const char* kStepSwitch = "switch";               // until the boot downloader answers
constexpr const char* kStepProgrammer = "programmer";       // request, unlock, records, GO
constexpr const char* kStepProgrammerUp = "programmer up";  // until the programmer answers
constexpr const char* kStepReturn = "return";               // reset, return, version read

// The waits, as a device usually makes them: after the switch a pause of 1 s, then passes of 1 s
// until the boot downloader shows up and answers, usually in the fourth or fifth; after GO the
// programmer is back in a pass or two; after the reset the device boots its new firmware, shows up
// again and is asked its version.
constexpr int kSwitchWaitMs = 5000;
constexpr int kProgrammerWaitMs = 2000;
constexpr int kReturnWaitMs = 3800;

struct ProgressPlan {
    // Each step this run makes, in order, with where the bar stands at its end.
    std::vector<std::pair<std::string, long long>> ends;
    long long total = 0;  // the bar's range

    // Where the step ends; 0 for a step this run does not make.
    long long end_of(const std::string& step) const;
};

// The plan of a run of this package from a device found in mode (a probe result), counted from
// the moment the port was found.
ProgressPlan plan_progress(const Package& package, int mode);
