// File contents between the host and the device's file system, with read-back verification.
#pragma once

#include "link/device_line.h"

#include <cstdint>

#include "base/progress.h"

// A transfer moves the progress counter on by every block's cost as it goes, and shows it on the
// bar once per this many bytes moved and at the end of the file.
constexpr std::uint32_t kEfsTickBytes = 102400;

// Bytes sent, 0 on failure (and for an empty file).
std::uint32_t write_efs_file(DeviceLine& line, const char* local_path, const std::uint8_t* handle,
                             DialogHandle dialog, int* counter);
// The same transfer with failure told apart from an empty file: 1 with *sent set to the bytes
// sent, or 0 on failure.
int try_write_efs_file(DeviceLine& line, const char* local_path, const std::uint8_t* handle,
                       DialogHandle dialog, int* counter, std::uint32_t* sent);
// 1 when the device file matches the local file.
int chk_efs_file(DeviceLine& line, const std::uint8_t* handle, const char* local_path,
                 DialogHandle dialog, int* counter);
// Copies <folder>image.iso to "/image.iso" and verifies it.
int copy_iso(DeviceLine& line, const char* folder, DialogHandle dialog, int* counter);
