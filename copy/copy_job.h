// The copy-to-device job: "/router.conf" rule, the "home" tree and image.iso.
#pragma once

#include "link/device_line.h"

#include "base/progress.h"

// What the job moves the progress counter on by besides the blocks of the files (see
// transfer_cost): the hello, the emptying of "/home" (its listing and a few removals), a folder (an
// open and a close, or a create), a file's own requests (create, close, size, open, close) with
// its two 1 ms pauses, and a link.
constexpr long long kHelloCost = kExchangeCost;
constexpr long long kEmptyHomeCost = 4LL * kExchangeCost;
constexpr long long kFolderCost = 2LL * kExchangeCost;
constexpr long long kFileCost = 5LL * kExchangeCost + wait_cost(2);
constexpr long long kLinkCost = kExchangeCost;

int copy_file_to_device(DeviceLine& line, DialogHandle dialog, int* counter);
int del_dir(DeviceLine& line, const char* device_folder);
int find_dir(DeviceLine& line, const char* local_folder, const char* device_folder,
             DialogHandle dialog, int* counter);
int find_link(DeviceLine& line, const char* local_folder, const char* device_folder,
              DialogHandle dialog, int* counter);
