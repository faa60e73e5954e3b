// Boot downloader (DLOAD) commands sent before the flash programmer is uploaded.
#pragma once

#include "link/device_line.h"

int dl_nop(DeviceLine& line);
int send_dload_request(DeviceLine& line);
int send_dload_unlock(DeviceLine& line);
