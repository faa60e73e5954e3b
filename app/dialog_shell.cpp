#include "app/dialog_shell.h"

#include "app/device_return.h"
#include "app/package_folder.h"
#include "app/upgrade.h"

DialogShell DialogShell::product() {
    DialogShell shell;
    shell.init = upgrade_init;
    shell.check = startup_device_check;
    shell.start = upgrade_start;
    shell.worker_running = ::worker_running;
    shell.stop_worker = ::stop_worker;
    shell.stopped_note = take_stopped_note;
    shell.cleanup = app_cleanup;
    shell.device_change = on_device_change;
    shell.package_beside_program = ::package_beside_program;
    return shell;
}
