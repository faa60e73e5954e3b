// Tells whether a disk drive of the device is present (settings keys mmc0 .. mmc19).
#pragma once

#include <string>
#include <vector>

#include "base/log_sink.h"

// 1 when a present disk's instance identifier begins with one of the mmc identifiers of the
// settings file at path, else 0. With a location, a disk known to sit at another location does
// not count. What it matched goes to log.
int find_mmc_disk(const std::string& path, const std::string& location = "",
                  LogSink& log = program_log());

// The disk identifiers the settings file at path lists, as "mmc0=<prefix>" items; empty keys are
// left out, as the search skips them.
std::vector<std::string> listed_disk_identifiers(const std::string& path);
