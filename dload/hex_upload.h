// Upload of the flash programmer from Intel HEX, then GO.
#pragma once

#include "link/device_line.h"

#include "base/progress.h"
#include "base/sent_file.h"

// Reads one line, up to and including '\n' or limit characters; the count when it starts with
// ':', else logs the format error to log and returns 0.
int read_nprg(SentFile& file, char* buffer, int limit, LogSink& log);
// 1 when every data record was written and GO was answered.
int retry_start_go(DeviceLine& line, const char* path, DialogHandle dialog, int* counter);
