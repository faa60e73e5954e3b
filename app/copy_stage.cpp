// The first step of a device found in normal mode: copy the "home" tree and the CD-ROM image into
// its file system, then go on to the firmware download only when the firmware folder holds it.
#include <cstdio>
#include <string>

#include "app/firmware_plan.h"
#include "app/worker.h"
#include "base/clock.h"
#include "base/platform_paths.h"
#include "copy/copy_job.h"

int check_firmware_files(const char* folder) {
    // Only the files that decide a download are looked for: a package without the others still
    // starts a download, which then fails at the missing file.
    for (const FirmwareFile& entry : firmware_plan()) {
        if (!entry.decides) continue;
        std::string path = std::string(folder) + path_separator() + entry.name;
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return 0;
        std::fclose(file);
    }
    return 1;
}

int copy_stage(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.stage = "copying files to the device";
    run.stages.begin("copy stage");
    set_status(dialog, "Copying file to device...");
    pause_ms(run.line, 1);
    if (!copy_file_to_device(run.line, run.package_folder, dialog, &run.counter)) {
        set_status(dialog, "Copy file to device fail!");
        set_info(dialog, "");
        return failure_end(run);
    }
    if (!check_firmware_files(run.firmware_folder.c_str()))
        return success_end(run, "Copy file to device ok! Please restart device!", 0);
    return switch_to_download_mode(run);
}
