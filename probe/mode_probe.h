// The mode probe: which of its three protocols the device on a port speaks. It sits above the
// protocols it asks, so none of them depends on another.
#pragma once

#include "link/device_line.h"

// Mode probe results.
constexpr int MODE_NONE = 0;
constexpr int MODE_DIAG = 1;
constexpr int MODE_DLOAD = 2;
constexpr int MODE_STREAM = 3;

// The protocols open_port asks, in its order, for the log.
constexpr const char* kProbeOrder =
    "the boot downloader (DLOAD nop, twice), normal mode (DIAG version), then the flash programmer "
    "(streaming hello)";
// What a probe result means: "normal mode (DIAG)", ...
const char* mode_name(int mode);

// Opens the port and probes: boot downloader twice, DIAG, flash programmer. 0..3; the port stays
// open unless the result is 0.
int open_port(DeviceLine& line, int port);
// Opens the port of a running flash programmer: 2 when it answers hello (port left open), else 0.
// The name and the result are the ones the download port's search has always had: the port the
// flash programmer answers on is "the download port", and its answer is reported as MODE_DLOAD,
// not MODE_STREAM, although it is the flash programmer that spoke.
int open_dl_port(DeviceLine& line, int port);
