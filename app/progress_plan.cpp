#include "app/progress_plan.h"

#include "app/worker.h"
#include "diag/diag_commands.h"
#include "diag/efs_transfer.h"
#include "stream/image_stream.h"

namespace {

constexpr const char* kImages[] = {"qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsbl.mbn", "amss.mbn"};
// A wait for the device to show up again takes a tick per pass however soon it answers.
constexpr int kPassTicks = kPortPasses;

int copy_ticks(const Package& package) {
    int ticks = 1;  // the hello
    if (package.has_home) {
        // "/home" emptied, each folder, file and link, the end of the tree.
        ticks += 2 + package.home.folders + package.home.files + package.home.links;
    }
    if (package.has_iso) ticks += 2 * static_cast<int>(package.iso_size / kEfsTickBytes);
    return ticks;
}

// From the boot downloader on: request, unlock, the programmer's lines, the passes until it
// answers, then the streaming stage.
int download_ticks(const Package& package) {
    int ticks = 2 + package.programmer.tick_lines + kPassTicks;
    ticks += 2 + 1 + 1;  // programmer found, security, partition table
    for (const char* image : kImages)
        ticks += 1 + static_cast<int>(package.firmware_size(image) / kImageTickBytes);
    return ticks;
}

// The stream stage alone.
int stream_ticks(const Package& package) {
    return download_ticks(package) - 2 - package.programmer.tick_lines - kPassTicks;
}

}  // namespace

int planned_ticks(const Package& package, int mode) {
    // The port was found; and the end of the run, which fills the bar, is one more step.
    int ticks = 2;
    switch (mode) {
        case MODE_DIAG:
            ticks += copy_ticks(package);
            // The switch, the passes until the boot downloader answers, and the last one.
            if (package.has_firmware()) ticks += 2 + kPassTicks + download_ticks(package);
            break;
        case MODE_DLOAD:
            ticks += download_ticks(package);
            break;
        case MODE_STREAM:
            ticks += stream_ticks(package);
            break;
        default:
            break;
    }
    return ticks;
}
