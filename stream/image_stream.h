// Streams one image file to the flash programmer in 512-byte blocks.
#pragma once

#include "link/device_line.h"

#include <cstdint>

#include "base/progress.h"

// dl_dload_amss keeps the name its log lines carry, although it streams any of the images (the
// one send_multi_image_open opened), not only amss.mbn, and speaks the flash programmer's
// streaming protocol, not the boot downloader's DLOAD.
//
// Every block moves the progress counter on by its cost; the dialog is touched once per this many
// bytes of an image (every 300 blocks) and at its end.
constexpr std::uint32_t kImageTickBytes = 153600;

// 1 when every block was taken and the image was closed; the image is closed whatever happened.
int dl_dload_amss(DeviceLine& line, const char* path, DialogHandle dialog, int* counter);
