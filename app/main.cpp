// The program's entry. Without arguments it shows the upgrade dialog; a command line of words runs
// the upgrade without a window and reports on the console; --check, --udev-rule, --help and
// --version touch nothing; --package names the package folder; anything else that looks like an
// option is refused.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/base/clock.h"
#include "app/base/log.h"
#include "app/base/reasons.h"
#include "app/base/settings.h"
#include "app/check_run.h"
#include "app/console_display.h"
#include "app/device_return.h"
#include "app/run_dialog.h"
#include "app/terminal.h"
#include "app/udev_rule.h"
#include "app/upgrade.h"
#include "discovery/device_events.h"

namespace {

constexpr const char* kUsage = "Usage: %s [--check | --help | --version | run]\n";
constexpr const char* kPackageUsage = "       %s [--package DIR] [--check | --udev-rule | run]\n";

void print_help(const char* program) {
    char folder[kPathBuffer];
    compute_program_folder(folder);
    std::printf(kUsage, program);
    std::printf(kPackageUsage, program);
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
        "logs of the nine starts before it are kept beside it, named after the time each start\n"
        "began, such as download-20261209-183012.dbg. A run ends by naming its log.\n"
        "\n"
        "Options:\n"
        "  --check     check the package, find the device, read its mode and version, and\n"
        "              print what a run would do; changes nothing on the device and writes\n"
        "              no log. Exit status 0 when a run could start, 1 otherwise.\n"
        "  --package DIR\n"
        "              take settings.ini, VELMOR/, home/ and image.iso from the folder DIR\n"
        "              instead of the folder that holds this program (the log stays where\n"
        "              it goes); for a run without a window, --check and --udev-rule\n"
        "  --udev-rule print a udev rule for the device identifiers of settings.ini: it gives\n"
        "              the logged-in user the device's serial ports and keeps the modem\n"
        "              manager away from them; install it in /etc/udev/rules.d\n"
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
    set_no_answer_listener(
        [&display](const std::string& notice) { display.show_no_answer(notice); });
    {
        DeviceEventThread events(on_device_change);
        upgrade_init(&display);
        if (!interrupted) upgrade_start(&display);
    }
    set_message_boxes(nullptr);
    set_reason_listener(nullptr);
    set_no_answer_listener(nullptr);
    // A stopped worker shows no box; say here why the run ended, while the log is still open.
    if (interrupted)
        display.show("Stopped by the user.\n", kBoxCaption, BoxButtons::Ok, BoxIcon::Error);
    app_cleanup();
    return !interrupted && last_run_succeeded() ? 0 : 1;
}

enum class Action { Dialog, Run, Check, UdevRule, Help, Version, Refuse };

struct CommandLine {
    Action action = Action::Dialog;
    std::string package;  // the folder given with --package, absolute; empty when none
    std::string refusal;  // why the command line is refused
};

// The folder after --package must exist: a typo would otherwise run against the program folder or
// read nothing at all. A path too long to be the package folder is refused rather than cut.
bool read_package_folder(const char* value, CommandLine* line) {
    if (!value || value[0] == '\0' || value[0] == '-') {
        line->refusal = "--package needs a folder";
        return false;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(value, error)) {
        const bool exists = std::filesystem::exists(value, error);
        line->refusal =
            std::string("--package: ") + (exists ? "not a folder: " : "no such folder: ") + value;
        return false;
    }
    std::string folder = std::filesystem::absolute(value, error).lexically_normal().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    if (folder.size() >= kPathBuffer) {
        line->refusal = std::string("--package: the folder's path is too long: ") + value;
        return false;
    }
    line->package = folder;
    return true;
}

// Words run the upgrade without a window; options are only the ones listed in the help. An
// argument that looks like an option but is none (a typo, an option of another program) must
// never start a run that writes the device's flash.
CommandLine read_command_line(int argc, char** argv) {
    CommandLine line;
    line.action = argc > 1 ? Action::Run : Action::Dialog;
    bool help = false, version = false, check = false, udev_rule = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') continue;
        bool understood = true;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--udev-rule") {
            udev_rule = true;
        } else if (arg == "--package") {
            understood = read_package_folder(i + 1 < argc ? argv[++i] : nullptr, &line);
        } else if (arg.rfind("--package=", 0) == 0) {
            understood = read_package_folder(argv[i] + 10, &line);
        } else {
            line.refusal = "unknown option " + arg;
            understood = false;
        }
        if (!understood) {
            line.action = Action::Refuse;
            return line;
        }
    }
    if (help)
        line.action = Action::Help;
    else if (version)
        line.action = Action::Version;
    else if (udev_rule)
        line.action = Action::UdevRule;
    else if (check)
        line.action = Action::Check;
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = read_command_line(argc, argv);
    if (!line.package.empty()) set_package_folder(line.package);
    switch (line.action) {
        case Action::Refuse:
            std::fprintf(stderr, "%s: %s\n", argv[0], line.refusal.c_str());
            std::fprintf(stderr, kUsage, argv[0]);
            std::fprintf(stderr, kPackageUsage, argv[0]);
            std::fprintf(stderr, "Nothing was done. %s --help tells more.\n", argv[0]);
            return 2;
        case Action::Help:
            print_help(argv[0]);
            return 0;
        case Action::Version:
            std::printf("fwupgrade %s\n", FWUP_VERSION);
            return 0;
        case Action::UdevRule:
            return print_udev_rule(stdout, stderr);
        case Action::Check:
            return run_check(stdout);
        case Action::Run:
            return run_windowless();
        case Action::Dialog:
            break;
    }
    return run_dialog(argc, argv);
}
