// Single-request operations on the device's EFS2 file system, over DIAG.
#pragma once

#include "link/device_line.h"

#include <cstdint>

using EfsHandle = std::uint8_t[4];

int send_efs_hello(DeviceLine& line);
int open_efs_file(DeviceLine& line, const char* path, std::uint8_t* handle);
int create_efs_file(DeviceLine& line, const char* path, std::uint8_t* handle);
int close_efs_file(DeviceLine& line, const std::uint8_t* handle);
int create_efs_symlink(DeviceLine& line, const char* target, const char* link_path);
int unlink_efs_file(DeviceLine& line, const char* path);
int create_efs_dir(DeviceLine& line, const char* path);
int unlink_efs_dir(DeviceLine& line, const char* path);
int open_efs_dir(DeviceLine& line, const char* path, std::uint8_t* handle);
// 1 entry read, 0 failure (an answer that is not a readdir answer too), -1 end of the listing.
int read_efs_dir(DeviceLine& line, const std::uint8_t* handle, int sequence, char* name, int* type,
                 int name_capacity);
int close_efs_dir(DeviceLine& line, const std::uint8_t* handle);
// The file's size, 0 on failure.
std::uint32_t get_efs_size(DeviceLine& line, const char* path);
// The same query with failure told apart from an empty file: 1 with *size set, or 0.
int query_efs_size(DeviceLine& line, const char* path, std::uint32_t* size);
