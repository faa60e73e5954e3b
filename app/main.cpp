// The program's entry. Without arguments it shows the upgrade dialog; a command line of words runs
// the upgrade without a window and reports on the console; --check, --help and --version touch
// nothing; anything else that looks like an option is refused.
#include <atomic>
#include <cstdio>
#include <string>

#include "app/check_run.h"
#include "app/base/clock.h"
#include "app/console_display.h"
#include "app/device_return.h"
#include "app/base/log.h"
#include "app/base/reasons.h"
#include "app/run_dialog.h"
#include "app/base/settings.h"
#include "app/terminal.h"
#include "app/upgrade.h"
#include "discovery/device_events.h"

namespace {

constexpr const char* kUsage = "Usage: %s [--check | --help | --version | run]\n";

void print_help(const char* program) {
    char folder[kPathBuffer];
    compute_program_folder(folder);
    std::printf(kUsage, program);
    std::printf(
        "\n"
        "Upgrades the firmware of a USB modem/router over its USB-serial port.\n"
        "Without arguments the upgrade dialog opens. With a command line of words (such as\n"
        "\"run\") the upgrade runs at once without a window and shows its progress on standard\n"
        "error. An argument that starts with '-' and is none of the options below is refused.\n"
        "\n"
        "A run first checks the whole package and refuses a bad one, naming the file and the\n"
        "reason, before anything is sent to the device. It then finds the device from the\n"
        "identifiers in settings.ini, copies the \"home\" tree and image.iso into the device's\n"
        "file system when the device is in normal mode, and, when the firmware folder VELMOR\n"
        "holds the firmware set, loads the flash programmer, writes the partition table and\n"
        "the images, resets the device and waits for it to come back. A device found in\n"
        "download mode gets the firmware download only.\n"
        "\n"
        "Everything is taken from the folder that holds this program:\n"
        "  %ssettings.ini     device identifiers (section [id])\n"
        "  %sVELMOR/          firmware folder: NPRG6280.hex, partition.mbn, amsshd.mbn and\n"
        "                     amss.mbn decide a firmware download; with them, the other four\n"
        "                     images must be there too; without any of them, a copy-only job\n"
        "  %shome/            tree copied to /home on the device\n"
        "  %simage.iso        CD-ROM image copied to /image.iso on the device\n"
        "\n"
        "The log download.dbg is written to your documents folder, or to the current folder\n"
        "when that is not possible. Each start of a run or of the dialog begins a new log; the\n"
        "one before it is kept beside it as download.previous.dbg.\n"
        "\n"
        "Options:\n"
        "  --check     check the package, find the device, read its mode and version, and\n"
        "              print what a run would do; changes nothing on the device and writes\n"
        "              no log. Exit status 0 when a run could start, 1 otherwise.\n"
        "  --help      show this text\n"
        "  --version   show the version\n"
        "\n"
        "Exit status of a run without a window: 0 when the run succeeded (a copy-only job\n"
        "included), 1 when it failed, 2 for a command line that is not understood. Without\n"
        "arguments and without a display the program says so and exits with status 2.\n",
        folder, folder, folder, folder);
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
    set_reason_listener([&display](const std::string& reason) { display.show_reason(reason); });
    {
        DeviceEventThread events(on_device_change);
        upgrade_init(&display);
        if (!interrupted) upgrade_start(&display);
    }
    set_message_boxes(nullptr);
    set_reason_listener(nullptr);
    // A stopped worker shows no box; say here why the run ended, while the log is still open.
    if (interrupted)
        display.show("Stopped by the user.\n", kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
    app_cleanup();
    return !interrupted && last_run_succeeded() ? 0 : 1;
}

enum class Action { Dialog, Run, Check, Help, Version, Refuse };

// Words run the upgrade without a window; options are only the ones listed in the help. An
// argument that looks like an option but is none (a typo, an option of another program) must
// never start a run that writes the device's flash.
Action read_command_line(int argc, char** argv, std::string* refused) {
    Action action = argc > 1 ? Action::Run : Action::Dialog;
    bool help = false, version = false, check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') continue;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--check") {
            check = true;
        } else {
            *refused = arg;
            return Action::Refuse;
        }
    }
    if (help) return Action::Help;
    if (version) return Action::Version;
    if (check) return Action::Check;
    return action;
}

}  // namespace

int main(int argc, char** argv) {
    std::string refused;
    switch (read_command_line(argc, argv, &refused)) {
        case Action::Refuse:
            std::fprintf(stderr, "%s: unknown option %s\n", argv[0], refused.c_str());
            std::fprintf(stderr, kUsage, argv[0]);
            std::fprintf(stderr, "Nothing was done. %s --help tells more.\n", argv[0]);
            return 2;
        case Action::Help:
            print_help(argv[0]);
            return 0;
        case Action::Version:
            std::printf("fwupgrade %s\n", FWUP_VERSION);
            return 0;
        case Action::Check:
            return run_check(stdout);
        case Action::Run:
            return run_windowless();
        case Action::Dialog:
            break;
    }
    return run_dialog(argc, argv);
}
