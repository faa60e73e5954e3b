// The copy-to-device job: "/router.conf" rule, the "home" tree and image.iso.
#pragma once

#include <string>

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

// The whole job, in up to 10 passes, each after its hello and a fresh probe of the port: 1 once a
// pass has copied the tree and image.iso and read them back, else 0 with the reason told. The
// tree, image.iso and settings.ini are taken from package_folder (with its trailing '/').
int copy_file_to_device(DeviceLine& line, const std::string& package_folder, DialogHandle dialog,
                        int* counter);

// The next three names are the ones the log lines carry ("error: find_dir(/home) fail"), so they
// stay, although none of them does what it says.
//
// del_dir empties device_folder and keeps the folder itself: every file and link in it is
// removed, every folder in it emptied the same way and then removed. Names that would lead out of
// the folder (".", "..", a '/') are skipped and logged. 1 when the listing was worked through and
// closed, 0 on the first removal the device refuses.
int del_dir(DeviceLine& line, const char* device_folder);
// find_dir finds nothing: it uploads the local tree into device_folder. A folder the device has is
// kept, a missing one made; each file is written and read back. The ".link" files are left out
// for find_link. 1 when every entry was handled (also when local_folder cannot be resolved), 0 on
// the first failure.
int find_dir(DeviceLine& line, const char* local_folder, const char* device_folder,
             DialogHandle dialog, int* counter);
// find_link makes, in the matching device folders, the symbolic links that the tree's ".link"
// files describe (see read_link_name). 1 or 0 as find_dir.
int find_link(DeviceLine& line, const char* local_folder, const char* device_folder,
              DialogHandle dialog, int* counter);
