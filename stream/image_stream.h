// Streams one image file to the flash programmer in 512-byte blocks.
#pragma once

#include "app/base/progress.h"

int dl_dload_amss(const char* path, DialogHandle dialog, int* counter);
