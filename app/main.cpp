// The program's entry. Without arguments it shows the upgrade dialog; with any other command line
// than the two options below it runs the upgrade without a window and reports on the console.
#include <atomic>
#include <cstdio>
#include <string>

#include "app/clock.h"
#include "app/console_display.h"
#include "app/device_return.h"
#include "app/log.h"
#include "app/run_dialog.h"
#include "app/settings.h"
#include "app/terminal.h"
#include "app/upgrade.h"
#include "discovery/device_events.h"

namespace {

void print_help(const char* program) {
    char folder[kPathBuffer];
    compute_program_folder(folder);
    std::printf(
        "Usage: %s [--help | --version | anything else]\n"
        "\n"
        "Upgrades the firmware of a USB modem/router over its USB-serial port.\n"
        "Without arguments the upgrade dialog opens. With any other command line the upgrade\n"
        "runs at once without a window and shows its progress on standard error.\n"
        "\n"
        "A run finds the device from the identifiers in settings.ini, copies the \"home\" tree\n"
        "and image.iso into the device's file system when the device is in normal mode, and,\n"
        "when the firmware folder VELMOR holds the firmware set, loads the flash programmer,\n"
        "writes the partition table and the images, resets the device and waits for it to\n"
        "come back. A device found in download mode gets the firmware download only.\n"
        "\n"
        "Everything is taken from the folder that holds this program:\n"
        "  %ssettings.ini     device identifiers (section [id])\n"
        "  %sVELMOR/          firmware folder\n"
        "  %shome/            tree copied to /home on the device\n"
        "  %simage.iso        CD-ROM image copied to /image.iso on the device\n"
        "\n"
        "The log download.dbg is written to your documents folder, or to the current folder\n"
        "when that is not possible; each start replaces it.\n"
        "\n"
        "Exit status of a run without a window: 0 when the run succeeded (a copy-only job\n"
        "included), 1 when it failed.\n"
        "  --help      show this text\n"
        "  --version   show the version\n",
        program, folder, folder, folder, folder);
}

// The same start-up, worker and clean-up as with the dialog; the console stands in for the dialog
// and the device's return after its reset is learnt from device-change events.
int run_windowless() {
    windowless = true;
    // Ctrl-C stops the worker at its next exchange, so the log is still closed (and complete).
    std::atomic<bool> interrupted{false};
    InterruptWatch interrupts([&interrupted] {
        interrupted = true;
        request_stop();
    });
    ConsoleDisplay display(stderr, is_terminal(stderr));
    set_message_boxes(&display);
    {
        DeviceEventThread events(on_device_change);
        upgrade_init(&display);
        if (!interrupted) upgrade_start(&display);
    }
    set_message_boxes(nullptr);
    // A stopped worker shows no box; say here why the run ended, while the log is still open.
    if (interrupted)
        display.show("Stopped by the user.\n", kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
    app_cleanup();
    return !interrupted && last_run_succeeded() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        std::string option = argv[1];
        if (option == "--help" || option == "-h") {
            print_help(argv[0]);
            return 0;
        }
        if (option == "--version") {
            std::printf("fwupgrade %s\n", FWUP_VERSION);
            return 0;
        }
    }
    if (argc > 1) return run_windowless();
    return run_dialog(argc, argv);
}
