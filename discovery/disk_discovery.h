// Tells whether a disk drive of the device is present (settings keys mmc0 .. mmc19).
#pragma once

#include <string>
#include <vector>

int find_mmc_disk();

// The disk identifiers settings.ini lists, as "mmc0=<prefix>" items; empty keys are left out, as
// the search skips them.
std::vector<std::string> listed_disk_identifiers();
