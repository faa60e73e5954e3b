// The copy-to-device job: "/router.conf" rule, the "home" tree and image.iso.
#pragma once

#include "app/base/progress.h"

int copy_file_to_device(DialogHandle dialog, int* counter);
int del_dir(const char* device_folder);
int find_dir(const char* local_folder, const char* device_folder, DialogHandle dialog, int* counter);
int find_link(const char* local_folder, const char* device_folder, DialogHandle dialog,
              int* counter);
