// mocked-modem: the emulated modem plugged in as a mocked USB device, and a program run beside it.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/child_process.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/preload.h"
#include "testbed/testbed.h"

namespace {

const char kHelp[] =
    "Usage: mocked-modem [options] -- PROGRAM [ARGS...]\n"
    "Plugs the emulated modem in as a USB device of umockdev's mocked device database and runs\n"
    "PROGRAM beside it (a name without '/' is looked up in PATH, as a shell does): PROGRAM's\n"
    "libudev sees the modem (and, after the final reset, its disk) and its serial port reaches\n"
    "the emulator through /dev/ttyUSBn. Every mode change unplugs\n"
    "the modem and plugs it in again under that mode's USB identity on a new /dev/ttyUSBn.\n"
    "Prints the modem's changes and PROGRAM's output; exits with PROGRAM's exit status, 124 when\n"
    "it ran past the time limit, 127 when it is not found.\n"
    "\n"
    "Options:\n"
    "  --diag-id VID:PID[:MI[:N]]   USB identity in normal operation, hex (default "
    "05c6:9003:00:3)\n"
    "  --dload-id VID:PID[:MI[:N]]  identity of the boot downloader and the flash programmer\n"
    "                               (default 05c6:9100:00:1); N is the interface count, and a\n"
    "                               device with more than one interface is composite (MI_xx)\n"
    "  --disk                       present the modem's USB disk too after the final reset\n"
    "  --mode diag|dload|stream     mode at start (default diag)\n"
    "  --efs-root DIR               load the modem's file system from this host folder\n"
    "  --return-delay MS            time away between modes (default 2000, divided by\n"
    "                               FWUP_TIME_DIVISOR)\n"
    "  --transcript FILE            write every request, answer and change, one line each\n"
    "  --dump DIR                   afterwards write the modem's file system to DIR/efs and its\n"
    "                               flash and programmer memory to DIR/flash\n"
    "  --fault FAULT                inject a fault (repeatable; see modem-emulator --help)\n"
    "  --time-limit SECONDS         stop PROGRAM after this long (default 900)\n";

bool parse_identity(const char* text, testbed::UsbIdentity* id) {
    unsigned values[4] = {0, 0, 0, 1};
    int n = std::sscanf(text, "%x:%x:%x:%u", &values[0], &values[1], &values[2], &values[3]);
    if (n < 2 || values[0] > 0xFFFF || values[1] > 0xFFFF || values[2] > 0xFF) return false;
    id->vendor_id = values[0];
    id->product_id = values[1];
    id->interface_number = n >= 3 ? values[2] : 0;
    id->num_interfaces = n >= 4 ? values[3] : (n >= 3 ? 3 : 1);
    return true;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "mocked-modem: %s\n(mocked-modem --help tells more)\n", message.c_str());
    return 2;
}

// Exit statuses a shell gives a program it cannot run.
constexpr int kNotFound = 127;
constexpr int kCannotRun = 126;
// The exit status when the program ran past its time limit, as timeout(1) has it.
constexpr int kTimedOut = 124;

struct Settings {
    testbed::MockedUsbDeviceOptions usb;
    emu::Options options;
    int time_limit_s = 900;
    std::string dump_dir;  // where the modem's file system and flash go afterwards; empty: nowhere
    std::vector<std::string> program;
};

// One option and its value; 0 when it was understood, else the exit status of a usage error.
int read_option(const std::string& arg, const char* v, Settings* s) {
    if (arg == "--diag-id" || arg == "--dload-id") {
        testbed::UsbIdentity id = arg == "--diag-id" ? s->usb.diag : s->usb.dload;
        if (!v || !parse_identity(v, &id)) return usage_error("bad identity for " + arg);
        if (arg == "--diag-id") {
            s->usb.diag = id;
        } else {
            s->usb.dload = s->usb.stream = id;
        }
    } else if (arg == "--mode") {
        const std::string mode = v ? v : "";
        if (mode == "diag") {
            s->options.start_mode = emu::Mode::Diag;
        } else if (mode == "dload") {
            s->options.start_mode = emu::Mode::Dload;
        } else if (mode == "stream") {
            s->options.start_mode = emu::Mode::Stream;
        } else {
            return usage_error("--mode takes diag, dload or stream");
        }
    } else if (arg == "--efs-root" || arg == "--transcript" || arg == "--dump") {
        if (!v) return usage_error(arg + " needs a value");
        (arg == "--efs-root"     ? s->options.efs_root
         : arg == "--transcript" ? s->options.transcript
                                 : s->dump_dir) = v;
    } else if (arg == "--return-delay" || arg == "--time-limit") {
        char* end = nullptr;
        long n = v ? std::strtol(v, &end, 10) : -1;
        if (!v || *end != '\0' || n < 0 || n > 86400000)
            return usage_error(arg + " needs a number");
        (arg == "--return-delay" ? s->options.return_delay_ms : s->time_limit_s) =
            static_cast<int>(n);
    } else if (arg == "--fault") {
        std::string error;
        std::optional<emu::Fault> fault = v ? emu::Fault::parse(v, &error) : std::nullopt;
        if (!fault) return usage_error("bad fault: " + error);
        s->options.faults.push_back(*fault);
    } else {
        return usage_error("unknown option " + arg);
    }
    return 0;
}

bool takes_value(const std::string& arg) {
    for (const char* name : {"--diag-id", "--dload-id", "--mode", "--efs-root", "--transcript",
                             "--dump", "--return-delay", "--time-limit", "--fault"})
        if (arg == name) return true;
    return false;
}

// -1 when the command line was read whole, else the exit status to end with at once.
int read_command_line(int argc, char** argv, Settings* s) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--") {
            s->program.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--disk") {
            s->usb.disk_after_reset = true;
            continue;
        }
        const char* value = takes_value(arg) && i + 1 < argc ? argv[++i] : nullptr;
        if (int status = read_option(arg, value, s); status != 0) return status;
    }
    if (s->program.empty()) return usage_error("no program to run");
    if (s->time_limit_s > 86400) s->time_limit_s = 86400;
    return -1;
}

// After a success the modem may still be coming back on the bus; after a failure it may never.
bool dump_modem(const emu::Emulator& modem, const std::string& dir) {
    return modem.dump_efs(dir + "/efs") && modem.dump_flash(dir + "/flash");
}

int report(const testbed::ChildResult& result, const std::string& program, int time_limit_s) {
    if (!result.finished) {
        std::printf("[mocked-modem] %s ran past %d s and was stopped\n", program.c_str(),
                    time_limit_s);
        return kTimedOut;
    }
    if (result.signal != 0) {
        std::printf("[mocked-modem] %s ended by signal %d\n", program.c_str(), result.signal);
        return 128 + result.signal;
    }
    std::printf("[mocked-modem] %s exited with %d\n", program.c_str(), result.exit_status);
    return result.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);

    Settings s;
    if (int status = read_command_line(argc, argv, &s); status >= 0) return status;
    // As a shell does: a name without '/' is looked for in PATH, and one found nowhere is said so
    // at once instead of being started (and waited for) in vain.
    const std::string name = s.program[0];
    s.program[0] = testbed::find_program(name);
    if (s.program[0].empty()) {
        std::fprintf(stderr, "%s: not found\n", name.c_str());
        return kNotFound;
    }

    testbed::Testbed::instance();
    testbed::MockedUsbDevice device(s.usb);
    s.options.provider = &device;
    emu::Emulator modem(s.options);
    modem.on_change([](const emu::Change& change) {
        std::printf("[modem] %s %s %s%s\n",
                    change.kind == emu::Change::Kind::Arrived ? "arrived" : "left",
                    emu::mode_name(change.mode), change.device_node.c_str(),
                    change.after_reset ? " after-reset" : "");
        std::fflush(stdout);
    });
    if (!modem.start()) {
        std::fprintf(stderr, "mocked-modem: the modem did not start: %s\n", modem.error().c_str());
        return 1;
    }

    testbed::ChildOptions child;
    child.time_limit_ms = s.time_limit_s * 1000;
    child.echo = true;
    testbed::ChildResult result = testbed::run_child(s.program, child);
    if (!result.started) {
        modem.stop();
        std::fprintf(stderr, "%s: %s\n", name.c_str(), std::strerror(result.start_error));
        return result.start_error == ENOENT ? kNotFound : kCannotRun;
    }
    if (!s.dump_dir.empty()) {
        modem.wait_finished(std::chrono::seconds(result.exit_status == 0 ? 30 : 1));
        if (!dump_modem(modem, s.dump_dir))
            std::fprintf(stderr, "mocked-modem: the dumps could not be written to %s\n",
                         s.dump_dir.c_str());
    }
    modem.stop();
    return report(result, name, s.time_limit_s);
}
