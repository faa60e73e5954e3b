// The firmware set as one table: every file of the firmware folder in the order it goes to the
// device, with what the package check asks of it, how the stages send it, the status line it
// shows and how it moves the progress bar. The package check, the stages, the progress plan and
// the copy stage all read it, so a file added here is checked, sent and planned alike.
#pragma once

#include <span>
#include <string>

// How a file goes to the device, and so what the package check asks of it.
enum class FirmwareRole {
    Programmer,  // Intel HEX loaded into the boot downloader and started
    Table,       // the partition table: sent whole in one request, so never empty
    Header,      // sent whole with the open of the image that follows it, so never empty
    Image,       // opened (with the header right before it, if any), then streamed
};

// How a file's sending moves the progress bar.
enum class FirmwareShare {
    Records,  // the request and unlock, a request per data record, then GO
    Blocks,   // its bytes in blocks, and one exchange to open or close it
};

struct FirmwareFile {
    const char* name;  // inside the firmware folder
    FirmwareRole role;
    // One of the files whose presence makes the run a firmware download: with none of them the
    // job is a copy only, with some but not all the package is refused.
    bool decides;
    int image_type;      // an image's open multi-image type; 0 for the other roles
    const char* status;  // the status line shown right before the file is sent
    FirmwareShare share;
};

// The whole set, in the order it goes to the device.
std::span<const FirmwareFile> firmware_plan();

// The first file of the set with that role (the programmer, the partition table).
const FirmwareFile& firmware_file(FirmwareRole role);

// Whether name is the file of the set with that role.
bool is_firmware_file(const std::string& name, FirmwareRole role);

// The names of the files that decide a download, listed as a sentence lists them: "a, b and c".
std::string deciding_firmware_names();
