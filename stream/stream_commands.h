// Streaming download protocol commands spoken with the flash programmer. The "dl" in their names
// stands for the download, not for the boot downloader's DLOAD: send_dl_hello is the flash
// programmer's hello, and the mode probe reports it as MODE_STREAM (as MODE_DLOAD from
// open_dl_port).
#pragma once

#include "link/device_line.h"

int send_dl_hello(DeviceLine& line);
int send_dl_security(DeviceLine& line);
int send_partition_table(DeviceLine& line, const char* path);
// header_path may be nullptr: the request then carries no payload.
int send_multi_image_open(DeviceLine& line, const char* header_path, int image_type);
int send_dl_close_handle(DeviceLine& line);
int dl_reset(DeviceLine& line);
