// The progress bar's range for one run: how many progress ticks the run will make.
#pragma once

#include "app/package_check.h"

// The ticks a run of this package makes from a device found in mode (a probe result), counting
// from the tick after the port search, each step as its operation ticks: one per file, folder and
// link of the tree, per 100 KiB of image.iso written and read back, per 400th line of the flash
// programmer, per 150 KiB of an image, and the steps between. A wait for the device to show up
// again counts as its twelve passes, which the stages make good when the device answers sooner.
int planned_ticks(const Package& package, int mode);
