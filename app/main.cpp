// The program's entry. Without arguments it shows the upgrade dialog; the word run runs the upgrade
// without a window and reports on the console; --check and --list only ask the device its mode and
// version; --udev-rule, --seal, --help and --version touch no device; --package names the package
// folder. Anything else (another word, a word after run, an unknown option, an option given twice)
// is refused.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "app/all_run.h"
#include "app/check_run.h"
#include "app/command_platform.h"
#include "app/console_display.h"
#include "app/device_return.h"
#include "app/firmware_plan.h"
#include "app/history.h"
#include "app/json_documents.h"
#include "app/list_run.h"
#include "app/modem_choice.h"
#include "app/package_folder.h"
#include "app/run_dialog.h"
#include "app/run_record.h"
#include "app/run_report.h"
#include "app/seal_run.h"
#include "app/session.h"
#include "app/terminal.h"
#include "app/udev_rule.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/platform_paths.h"
#include "base/reasons.h"
#include "base/settings.h"
#include "discovery/device_events.h"

namespace {

// The exit status of a command line that is not understood, and of a run refused before it began.
constexpr int kExitRefused = 2;

// The usage lines, on standard output for --help and on standard error for a refusal.
void print_usage(std::FILE* out, const std::string& program) {
    std::fprintf(out,
                 "Usage: %s [--check | --list | --seal DIR | --history [--json] | --help | "
                 "--version | run]\n",
                 program.c_str());
    std::fprintf(out, "       %s [--package DIR] [--check | --list | %srun]\n", program.c_str(),
                 offers_udev_rule() ? "--udev-rule | " : "");
    std::fprintf(out, "       %s [--package DIR] --device LOCATION|SERIAL [--check | run]\n",
                 program.c_str());
    std::fprintf(out, "       %s [--package DIR] run --all\n", program.c_str());
    std::fprintf(out, "       %s [--package DIR] [--check | --list | run [--all]] --json\n",
                 program.c_str());
}

// What --package goes with, for the help and the refusal.
std::string package_goes_with() {
    return offers_udev_rule() ? "run, --check, --list or --udev-rule" : "run, --check or --list";
}

// The help's width, and the column its descriptions start in.
constexpr std::size_t kHelpWidth = 84;
constexpr std::size_t kHelpColumn = 19;

// head, then the words of text wrapped at the help's width onto lines that start at its column.
std::string help_entry(const std::string& head, const std::string& text) {
    std::string out = head + std::string(kHelpColumn - std::min(head.size(), kHelpColumn), ' ');
    std::size_t line = 0;  // where the current line starts in out
    std::istringstream words(text);
    std::string word;
    for (bool first = true; words >> word; first = false) {
        if (!first && out.size() - line + 1 + word.size() > kHelpWidth) {
            line = out.size() + 1;
            out += "\n" + std::string(kHelpColumn, ' ');
        } else if (!first) {
            out += ' ';
        }
        out += word;
    }
    return out + "\n";
}

// The package's files, and which folder they are taken from. An installed program lies where no
// package is (/usr/bin): its help says so instead of offering that folder as the package.
void print_package_help(char separator) {
    std::printf(
        "A run takes everything from the package folder:\n"
        "  settings.ini     device identifiers (section [id])\n");
    std::fputs(help_entry(std::string("  VELMOR") + separator,
                          "firmware folder: " + deciding_firmware_names() +
                              " decide a firmware download; with them, the other four images "
                              "must be there too; without any of them, a copy-only job")
                   .c_str(),
               stdout);
    std::printf(
        "  home%c            tree copied to /home on the device\n"
        "  image.iso        CD-ROM image copied to /image.iso on the device\n"
        "  SHA256SUMS       optional, written by --seal: the SHA-256 of every file above;\n"
        "                   with it, a run refuses a package with a damaged or cut file\n"
        "\n"
        "The package folder is the folder given with --package DIR; without --package, the\n"
        "folder that holds this program: %s\n",
        separator, own_program_folder().c_str());
    if (!package_beside_program())
        std::printf(
            "That folder holds no settings.ini (an installed program has no package beside it),\n"
            "so a run without a window and --check need --package DIR there.\n");
}

void print_log_help() {
    const std::string documents = documents_dir();
    std::printf("\nThe log download.dbg is written to %s\n", log_folder_description());
    if (!documents.empty()) std::printf("  %s\n", documents.c_str());
    std::printf(
        "or to the current folder when that is not possible. Each start of a run or of the\n"
        "dialog begins a new log; the logs of the nine starts before it are kept beside it,\n"
        "named after the time each start began, such as download-20261209-183012.dbg.\n"
        "A run ends by naming its log, and adds a line to %s in the same folder\n"
        "(see --history).\n",
        kHistoryName);
}

void print_options_help(char separator) {
    std::printf(
        "\n"
        "Options:\n"
        "  --check     check the package, find the device, read its mode and version, and\n"
        "              print what a run would do; changes nothing on the device and writes\n"
        "              no log. Exit status 0 when a run could start, 1 otherwise.\n"
        "  --list      list the modems of the package that are plugged in, one line each:\n"
        "              USB location, serial number, mode, port and, in normal mode, the\n"
        "              firmware version. Asks each modem only its mode and version; changes\n"
        "              nothing and writes no log.\n"
        "  --device LOCATION|SERIAL\n"
        "              with run or --check: the modem to work on, by its USB location or its\n"
        "              serial number as --list shows them. Needed when several modems of the\n"
        "              package are plugged in; a run then follows that modem alone through\n"
        "              its restarts and never sends anything to the others.\n"
        "  --package DIR\n"
        "              the package folder: take settings.ini, VELMOR%c, home%c and image.iso\n"
        "              from DIR instead of the folder that holds this program (the log\n"
        "              stays where it goes); goes with %s\n"
        "  --seal DIR  write DIR%cSHA256SUMS for exactly the files a run would read from the\n"
        "              package in DIR (replacing an old one) and print how many it lists; a\n"
        "              run then refuses the package when a listed file is missing, changed\n"
        "              or cut, or a file it would send is not listed. Exit status 0 when it\n"
        "              was written, 1 when the package is refused. Opens no port, writes no\n"
        "              log.\n",
        separator, separator, package_goes_with().c_str(), separator);
    std::printf(
        "  --history   print the last %zu runs recorded in %s beside the log: time,\n"
        "              modem location and serial, version before and after, result, the\n"
        "              stage that failed and duration. Sends nothing, writes nothing.\n"
        "  --json      with run, --check, --list or --history: print one JSON document on\n"
        "              standard output at the end and every text on standard error; the exit\n"
        "              status stays the same. --list: an array of modems (location, serial,\n"
        "              mode, port, version). --check: package, package_version,\n"
        "              package_refusal, device (port, location, serial, mode, version),\n"
        "              verdict (ready or not_ready), verdict_text, exit_status. run: the keys\n"
        "              of the run's line in %s, then reason and exit_status.\n"
        "              --history: an array of the recorded objects. What was not learnt is\n"
        "              null.\n",
        kHistoryShown, kHistoryName, kHistoryName);
    if (offers_udev_rule())
        std::printf(
            "  --udev-rule print a udev rule for the device identifiers of settings.ini: it gives\n"
            "              the logged-in user the device's serial ports and keeps the modem\n"
            "              manager away from them; install it in /etc/udev/rules.d\n");
    std::printf(
        "  --all       with run: upgrade every modem of the package that is plugged in, all\n"
        "              at once, each with its own log download-LOCATION.dbg beside\n"
        "              download.dbg (which then holds the summary), and print a table of how\n"
        "              each ended. Exit status 0 only when every modem succeeded. A modem that\n"
        "              fails or is unplugged leaves the others' runs alone.\n"
        "  --help      show this text\n"
        "  --version   show the version\n");
}

void print_help(const std::string& program) {
    const char separator = path_separator();
    print_usage(stdout, program);
    std::printf(
        "\n"
        "Upgrades the firmware of a USB modem/router over its USB-serial port.\n"
        "Without arguments the upgrade dialog opens. With the word \"run\" the upgrade runs at\n"
        "once without a window and shows its progress on standard error. Only that word starts\n"
        "a run: any other word, a word after \"run\", an argument that starts with '-' and is\n"
        "none of the options below, or an option given twice is refused, and nothing is done.\n"
        "\n"
        "A run first checks the whole package and refuses a bad one, naming the file and the\n"
        "reason, before anything is sent to the device. It then finds the device from the\n"
        "identifiers in settings.ini, copies the \"home\" tree and image.iso into the device's\n"
        "file system when the device is in normal mode, and, when the firmware folder VELMOR\n"
        "holds the firmware set, loads the flash programmer, writes the partition table and\n"
        "the images, resets the device and waits for it to come back. A device found in\n"
        "download mode gets the firmware download only.\n"
        "\n");
    print_package_help(separator);
    print_log_help();
    print_options_help(separator);
    std::printf(
        "\n"
        "Exit status of a run without a window: 0 when the run succeeded (a copy-only job\n"
        "included), 1 when it failed, 2 for a command line that is not understood, when\n"
        "several modems of the package are plugged in and none is chosen with --device, or\n"
        "when the one --device names is not plugged in (nothing is sent then), and for a\n"
        "run stopped by the user the shell's status for the interrupt: 130 for Ctrl-C, 143\n"
        "for a request to terminate, 129 when its terminal went away. A stopped run says\n"
        "whether it left the modem in download mode and how to finish the download. With\n"
        "--all the status is 0 only when every modem succeeded. Without arguments and\n"
        "without a display the program says so and exits with status 2.\n");
}

// The only word of a command line: it starts the upgrade without a window.
constexpr const char* kRunWord = "run";

// A word of a command as the user would type it: quoted when a shell would split it.
std::string typed(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t'\"$&;|<>()*?") == std::string::npos) return word;
    return "\"" + word + "\"";
}

// The command that starts a stopped run again: this program as the user started it, the word run
// and the package folder when one was given.
std::string again_command(const char* program, const std::string& package,
                          const std::string& device) {
    std::string command = typed(program) + " " + kRunWord;
    if (!package.empty()) command += " --package " + typed(package);
    if (!device.empty()) command += std::string(" ") + kDeviceOption + " " + typed(device);
    return command;
}

// The first line of a text, without its line end.
std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The same start-up, worker and clean-up as with the dialog; the console stands in for the dialog
// and the device's return after its reset is learnt from device-change events. A run stopped by an
// interrupt ends with the status the shell gives a process that the interrupt ended. With json,
// every text goes to standard error and standard output gets the run's document alone.
int run_windowless(Session& session, const std::string& again, const std::string& device,
                   bool json) {
    session.windowless = true;
    // Ctrl-C stops the worker at its next exchange, so the log is still closed (and complete).
    std::atomic<int> stop_status{0};
    InterruptWatch interrupts([&stop_status, &session](int exit_status) {
        stop_status = exit_status;
        session.line.cancel.request();
    });
    ConsoleDisplay display(stderr, is_terminal(stderr), json ? stderr : stdout);
    set_message_boxes(&display);
    LastReason last_reason;
    session.log().set_reason_listener([&display, &last_reason](const std::string& reason) {
        last_reason.set(reason);
        display.show_reason(reason);
    });
    session.log().set_no_answer_listener(
        [&display](const std::string& notice) { display.show_no_answer(notice); });
    bool several_modems = false;
    std::string unchosen;  // which modems there are and how to choose one
    // The clock counts from the run's start: the start-up check may already wait for the device.
    display.set_clock_timer(true);
    {
        DeviceEventThread events([&session](int event) { on_device_change(session, event); });
        // With several modems plugged in the check has said so; no device was asked anything.
        several_modems = upgrade_init(session, &display, device, &unchosen) == CHECK_SEVERAL_MODEMS;
        // The start-up check's reasons are not the run's.
        last_reason.take();
        if (!stop_status && !several_modems) upgrade_start(session, &display);
    }
    set_message_boxes(nullptr);
    session.log().set_reason_listener(nullptr);
    session.log().set_no_answer_listener(nullptr);
    // A stopped worker shows no box; say here why the run ended and where it left the modem,
    // while the log is still open.
    const int stopped = stop_status;
    if (stopped)
        display.show("Stopped by the user.\n" + tell_run_stopped(session, again), kBoxCaption,
                     BoxButtons::Ok, BoxIcon::Error);
    if (several_modems)
        display.show(unchosen + "\nNothing was sent to any modem.\n", kBoxCaption, BoxButtons::Ok,
                     BoxIcon::Error);
    ModemRunReport report =
        run_report(session, several_modems ? first_line(unchosen) : "", stopped, &last_reason);
    app_cleanup(session);
    const int status = several_modems                ? kExitRefused
                       : stopped                     ? stopped
                       : last_run_succeeded(session) ? 0
                                                     : 1;
    if (json) std::fputs(run_document(report.entry, report.reason, status).c_str(), stdout);
    return status;
}

enum class Action { Dialog, Run, Check, List, UdevRule, Seal, History, Help, Version, Refuse };

// The options, each listed once: the reader finds them, their values and an option given twice
// from this table alone; chosen_action says which one wins when several are given.
enum class Option {
    Help,
    Version,
    UdevRule,
    Check,
    List,
    Package,
    Device,
    Seal,
    History,
    Json,
    All,
    Count
};

struct OptionEntry {
    const char* name;
    const char* alias;  // a short form, or nullptr
    Option option;
    bool takes_value;  // "--name VALUE" or "--name=VALUE"
};

constexpr OptionEntry kOptions[] = {
    {"--help", "-h", Option::Help, false},
    {"--version", nullptr, Option::Version, false},
    {"--udev-rule", nullptr, Option::UdevRule, false},
    {"--check", nullptr, Option::Check, false},
    {"--list", nullptr, Option::List, false},
    {"--package", nullptr, Option::Package, true},
    {kDeviceOption, nullptr, Option::Device, true},
    {"--seal", nullptr, Option::Seal, true},
    {"--history", nullptr, Option::History, false},
    {"--json", nullptr, Option::Json, false},
    {kAllOption, nullptr, Option::All, false},
};

constexpr int kOptionCount = static_cast<int>(Option::Count);

// What the command line holds, before it is judged.
struct Given {
    bool option[kOptionCount] = {};
    std::string value[kOptionCount];
    bool run = false;

    bool has(Option which) const { return option[static_cast<int>(which)]; }
};

struct CommandLine {
    Action action = Action::Dialog;
    bool json = false;    // --json: the result as a JSON document on standard output
    bool all = false;     // run --all: every modem of the package at once
    std::string package;  // the folder given with --package, absolute; empty when none
    std::string seal;     // the folder given with --seal, absolute; empty when none
    std::string device;   // the modem given with --device; empty when none
    std::string refusal;  // why the command line is refused
};

// --udev-rule is no option where the system has no udev: it is refused as unknown there.
const OptionEntry* find_option(const std::string& name) {
    for (const OptionEntry& entry : kOptions) {
        if (entry.option == Option::UdevRule && !offers_udev_rule()) continue;
        if (name == entry.name || (entry.alias && name == entry.alias)) return &entry;
    }
    return nullptr;
}

// Reads the option at argv[*i], and its value from "=VALUE" or the next argument.
bool read_option(int argc, char** argv, int* i, Given* given, std::string* refusal) {
    const std::string arg = argv[*i];
    const std::size_t equals = arg.find('=');
    const OptionEntry* entry = find_option(arg.substr(0, equals));
    if (!entry || (equals != std::string::npos && !entry->takes_value)) {
        *refusal = "unknown option " + arg;
        return false;
    }
    const int index = static_cast<int>(entry->option);
    if (given->option[index]) {
        *refusal = std::string(entry->name) + " given twice";
        return false;
    }
    given->option[index] = true;
    if (!entry->takes_value) return true;
    if (equals != std::string::npos)
        given->value[index] = arg.substr(equals + 1);
    else if (*i + 1 < argc)
        given->value[index] = argv[++*i];
    return true;
}

// A word that is not "run", or any word after it, once started a run that wrote the device's
// flash: a forgotten "--" before "check" must not.
bool read_word(const std::string& word, Given* given, std::string* refusal) {
    if (given->run) {
        *refusal =
            "unexpected word \"" + word + "\" after " + kRunWord + ": only options may follow it";
        return false;
    }
    if (word != kRunWord) {
        *refusal = "unknown word \"" + word + "\": only the word " + kRunWord +
                   " starts a run without a window";
        return false;
    }
    given->run = true;
    return true;
}

// The folder after --package or --seal must exist: a typo would otherwise run against the program
// folder or read nothing at all. A path too long to be the package folder is refused rather than
// cut. *folder gets it absolute, with a trailing separator.
bool read_folder(const std::string& option, const std::string& value, std::string* folder,
                 std::string* refusal) {
    if (value.empty() || value[0] == '-') {
        *refusal = option + " needs a folder";
        return false;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(value, error)) {
        const bool exists = std::filesystem::exists(value, error);
        *refusal = option + ": " + (exists ? "not a folder: " : "no such folder: ") + value;
        return false;
    }
    *folder = native_path(std::filesystem::absolute(value, error).lexically_normal().string());
    if (folder->empty() || folder->back() != path_separator()) *folder += path_separator();
    if (folder->size() >= kPathBuffer) {
        *refusal = option + ": the folder's path is too long: " + value;
        return false;
    }
    return true;
}

// The option that wins when several are given; the word run comes after them all.
Action chosen_action(const Given& given, CommandLine* line) {
    if (given.has(Option::Help)) return Action::Help;
    if (given.has(Option::Version)) return Action::Version;
    // A document on standard output is for the commands that report; any other would mix texts in.
    const bool reports = given.has(Option::History) || given.has(Option::Check) ||
                         given.has(Option::List) || given.run;
    if (given.has(Option::Json) &&
        (!reports || given.has(Option::Seal) || given.has(Option::UdevRule))) {
        line->refusal = "--json goes with run, --check, --list or --history";
        return Action::Refuse;
    }
    if (given.has(Option::Seal)) {
        if (!given.has(Option::Package) && !given.run) return Action::Seal;
        line->refusal = "--seal takes the package folder itself and runs nothing";
        return Action::Refuse;
    }
    if (given.has(Option::History)) {
        if (!given.has(Option::Package) && !given.run && !given.has(Option::Check) &&
            !given.has(Option::List) && !given.has(Option::UdevRule))
            return Action::History;
        line->refusal = "--history reads the history and runs nothing";
        return Action::Refuse;
    }
    if (given.has(Option::UdevRule)) return Action::UdevRule;
    if (given.has(Option::Check)) return Action::Check;
    if (given.has(Option::List)) return Action::List;
    if (given.run) return Action::Run;
    if (given.has(Option::Package)) {
        line->refusal = "--package goes with " + package_goes_with();
        return Action::Refuse;
    }
    return Action::Dialog;
}

// --all is a way to run, and chooses the modems itself.
bool all_given(const Given& given, Action action, CommandLine* line) {
    if (!given.has(Option::All)) return true;
    if (action != Action::Run) {
        line->refusal = std::string(kAllOption) + " goes with run";
        return false;
    }
    if (given.has(Option::Device)) {
        line->refusal = std::string(kAllOption) + " and " + kDeviceOption +
                        " both choose the modems: give one of them";
        return false;
    }
    line->all = true;
    return true;
}

// --device names a modem for run and --check only, and names one.
bool device_given(const Given& given, Action action, CommandLine* line) {
    if (!given.has(Option::Device)) return true;
    const std::string& value = given.value[static_cast<int>(Option::Device)];
    if (value.empty() || value[0] == '-') {
        line->refusal = std::string(kDeviceOption) + " needs a USB location or a serial number";
        return false;
    }
    if (action != Action::Run && action != Action::Check) {
        line->refusal = std::string(kDeviceOption) + " goes with run or --check";
        return false;
    }
    line->device = value;
    return true;
}

// Only the options of the table and the one word run are understood. Anything else (a typo,
// another program's option, a word) must never start a run that writes the device's flash.
CommandLine read_command_line(int argc, char** argv) {
    CommandLine line;
    Given given;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool read = !arg.empty() && arg[0] == '-'
                              ? read_option(argc, argv, &i, &given, &line.refusal)
                              : read_word(arg, &given, &line.refusal);
        if (!read) {
            line.action = Action::Refuse;
            return line;
        }
    }
    const bool folders_read =
        (!given.has(Option::Package) ||
         read_folder("--package", given.value[static_cast<int>(Option::Package)], &line.package,
                     &line.refusal)) &&
        (!given.has(Option::Seal) ||
         read_folder("--seal", given.value[static_cast<int>(Option::Seal)], &line.seal,
                     &line.refusal));
    if (!folders_read) {
        line.action = Action::Refuse;
        return line;
    }
    line.action = chosen_action(given, &line);
    line.json = given.has(Option::Json);
    if (line.action != Action::Refuse &&
        (!all_given(given, line.action, &line) || !device_given(given, line.action, &line))) {
        line.action = Action::Refuse;
        return line;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = command_name(argc > 0 ? argv[0] : nullptr);
    const CommandLine line = read_command_line(argc, argv);
    // The one modem this process works on.
    Session session;
    if (!line.package.empty()) session.package_folder.set(line.package);
    switch (line.action) {
        case Action::Refuse:
            std::fprintf(stderr, "%s: %s\n", program.c_str(), line.refusal.c_str());
            print_usage(stderr, program);
            std::fprintf(stderr, "Nothing was done. %s --help tells more.\n", program.c_str());
            return kExitRefused;
        case Action::Help:
            print_help(program);
            return 0;
        case Action::Version:
            std::printf("fwupgrade %s\n", FWUP_VERSION);
            return 0;
        case Action::UdevRule:
            return print_udev_rule(session.package_folder.settings_path(), stdout, stderr);
        case Action::Check:
            return line.json ? run_check(session, stderr, line.device, stdout)
                             : run_check(session, stdout, line.device);
        case Action::List:
            return line.json ? run_list(session, stderr, stderr, stdout)
                             : run_list(session, stdout, stderr);
        case Action::Seal:
            return run_seal(line.seal, stdout, stderr);
        case Action::History:
            return run_history(line.json, stdout, stderr);
        case Action::Run:
            if (line.all)
                return run_all(
                    session,
                    [&](const std::string& device) {
                        return again_command(argv[0], line.package, device);
                    },
                    line.json);
            return run_windowless(session, again_command(argv[0], line.package, line.device),
                                  line.device, line.json);
        case Action::Dialog:
            break;
    }
    return run_dialog(session, argc, argv);
}
