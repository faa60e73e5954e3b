// DIAG commands outside the file system, and the mode probe.
#pragma once

#include <string>

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
int open_port(int port);
// Opens the port of a running flash programmer: 2 when it answers hello (port left open), else 0.
int open_dl_port(int port);
// 1 when the device answers the DIAG version request.
int get_ver();
// The build version text, or nullptr after ten failed attempts.
const char* retry_get_build_ver();
// 1 when the device accepted the switch to its boot downloader (the port is then closed). When the
// device answered every attempt with a DIAG error packet, *refusal (when given) gets that packet's
// bytes, "0x13 0x3a"; otherwise it is emptied.
int switch_dl_mode(std::string* refusal = nullptr);
