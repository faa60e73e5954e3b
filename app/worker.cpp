#include "app/worker.h"

#include "app/clock.h"
#include "app/device_return.h"
#include "app/settings.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"

namespace {

constexpr const char* kDownloadOkBox = "Download ok\n";
constexpr const char* kDownloadErrorBox =
    "Download has error, please close program and see download.dbg\n";

}  // namespace

int upgrade_worker(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    // A state left over from an earlier run that failed at or after its reset would let device
    // changes search (and close the port) under this run.
    hold_device_return([] { device_state = DEVICE_IDLE; });
    if (dialog) dialog->set_clock_timer(true);

    char folder[kPathBuffer];
    compute_program_folder(folder);
    run.firmware_folder = std::string(folder) + "VELMOR";

    set_status(dialog, "Finding device...");
    set_info(dialog, "Warning: Do not plug out device during download process!");
    pause_ms(1);

    int port = find_port(PORT_DIAG);
    if (port < 0) port = find_port(PORT_DOWNLOAD);
    if (port < 0) port = find_port(PORT_SAVEDOWNLOAD);
    if (port < 0) return failure_end(run);

    progress_tick(dialog, &run.counter);
    switch (open_port(port)) {
        case MODE_DIAG:
            return copy_stage(run);
        case MODE_DLOAD:
            return boot_downloader_stage(run);
        case MODE_STREAM:
            return streaming_stage(run);
        default:
            return failure_end(run);
    }
}

// A worker that is being stopped (the dialog is closing) ends without a box: nobody is left to
// answer it.
int success_end(Run& run, const std::string& status, int exit_code) {
    UpgradeDialog* dialog = run.dialog;
    run.succeeded = true;
    if (dialog) dialog->set_clock_timer(false);
    if (!stop_requested())
        message_boxes().show(kDownloadOkBox, kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
    set_status(dialog, status);
    set_info(dialog, "");
    if (dialog) dialog->post_close();
    return exit_code;
}

// The status lines keep the text of the failed step; the port stays as it is (the next search or
// the clean-up closes it).
int failure_end(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.succeeded = false;
    if (dialog) {
        dialog->set_clock_timer(false);
        dialog->enable_start(true);
    }
    if (!stop_requested())
        message_boxes().show(kDownloadErrorBox, kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
    return 0;
}
