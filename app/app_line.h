// The device line of the program's own run: the one modem that the dialog or the console works
// on. Its stop is asked for when the dialog closes or the console is interrupted.
#pragma once

#include "link/device_line.h"

DeviceLine& app_line();
