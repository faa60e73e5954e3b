// Tells whether a disk drive of the device is present (settings keys mmc0 .. mmc19).
#pragma once

int find_mmc_disk();
