// DIAG commands outside the file system.
#pragma once

#include "link/device_line.h"

#include <string>

// 1 when the device answers the DIAG version request.
int get_ver(DeviceLine& line);
// The build version text, or nullptr after ten failed attempts.
const char* retry_get_build_ver(DeviceLine& line);
// 1 when the device accepted the switch to its boot downloader (the port is then closed). When the
// device answered every attempt with a DIAG error packet, *refusal (when given) gets that packet's
// bytes, "0x13 0x3a"; otherwise it is emptied.
int switch_dl_mode(DeviceLine& line, std::string* refusal = nullptr);
