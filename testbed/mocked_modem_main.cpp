// mocked-modem: the emulated modem plugged in as a mocked USB device, and a program run beside it.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/child_process.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/modem_bench.h"
#include "testbed/preload.h"
#include "testbed/testbed.h"

namespace {

const char kHelp[] =
    "Usage: mocked-modem [options] -- PROGRAM [ARGS...]\n"
    "Plugs the emulated modem in as a USB device of umockdev's mocked device database and runs\n"
    "PROGRAM beside it (a name without '/' is looked up in PATH, as a shell does): PROGRAM's\n"
    "libudev sees the modem (and, after the final reset, its disk) and its serial port reaches\n"
    "the emulator through /dev/ttyUSBn. Every mode change unplugs\n"
    "the modem and plugs it in again under that mode's USB identity on a new /dev/ttyUSBn, at\n"
    "the same hub port.\n"
    "Prints the modem's changes and PROGRAM's output; exits with PROGRAM's exit status, 124 when\n"
    "it ran past the time limit, 127 when it is not found.\n"
    "\n"
    "Options:\n"
    "  --modems N                   plug N modems in (default 1, at most 8); modem K sits at hub\n"
    "                               port 1-1.K, its changes are printed as [modem K]\n"
    "  --for K OPTION [VALUE]       give one of the options below to modem K only; without it an\n"
    "                               option goes to every modem, and a --fault for K comes on top\n"
    "                               of those for all\n"
    "  --diag-id VID:PID[:MI[:N]]   USB identity in normal operation, hex (default "
    "05c6:9003:00:3)\n"
    "  --dload-id VID:PID[:MI[:N]]  identity of the boot downloader and the flash programmer\n"
    "                               (default 05c6:9100:00:1); N is the interface count, and a\n"
    "                               device with more than one interface is composite (MI_xx)\n"
    "  --serial TEXT                USB serial number in every mode (default none)\n"
    "  --hub-port NAME              where the modem is plugged in, its USB device's name on the\n"
    "                               bus (default 1-1.K with several modems)\n"
    "  --build-version TEXT         version the modem reports (default \"FW 1.0.0 B001\")\n"
    "  --new-build-version TEXT     version after a firmware download (default \"FW 1.0.1 B002\")\n"
    "  --disk                       present the modem's USB disk too after the final reset\n"
    "  --mode diag|dload|stream     mode at start (default diag)\n"
    "  --efs-root DIR               load the modem's file system from this host folder\n"
    "  --return-delay MS            time away between modes (default 2000, divided by\n"
    "                               FWUP_TIME_DIVISOR)\n"
    "  --transcript FILE            write every request, answer and change, one line each; with\n"
    "                               several modems, modem K writes to FILE.K\n"
    "  --fault FAULT                inject a fault (repeatable; see modem-emulator --help)\n"
    "  --dump DIR                   afterwards write the modem's file system to DIR/efs and its\n"
    "                               flash and programmer memory to DIR/flash; with several\n"
    "                               modems, modem K's go to DIR/modemK/efs and DIR/modemK/flash\n"
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
// More modems than a desk's hub holds are a typing error rather than a test.
constexpr int kMaxModems = 8;

// What one modem is given.
struct Modem {
    testbed::MockedUsbDeviceOptions usb;
    emu::Options options;
};

// An option for one modem (K, from 1) or for all (0), kept until the number of modems is known.
struct ModemOption {
    int modem = 0;
    std::string name;
    const char* value = nullptr;
};

struct Settings {
    int modems = 1;
    std::vector<ModemOption> modem_options;
    int time_limit_s = 900;
    std::string dump_dir;  // where the modems' file systems and flash go afterwards; empty: nowhere
    std::vector<std::string> program;
};

bool read_number(const char* v, long low, long high, long* out) {
    char* end = nullptr;
    long n = v ? std::strtol(v, &end, 10) : -1;
    if (!v || *end != '\0' || n < low || n > high) return false;
    *out = n;
    return true;
}

int read_mode(const std::string& mode, emu::Options* options) {
    if (mode == "diag") {
        options->start_mode = emu::Mode::Diag;
    } else if (mode == "dload") {
        options->start_mode = emu::Mode::Dload;
    } else if (mode == "stream") {
        options->start_mode = emu::Mode::Stream;
    } else {
        return usage_error("--mode takes diag, dload or stream");
    }
    return 0;
}

int read_identity(const std::string& arg, const char* v, testbed::MockedUsbDeviceOptions* usb) {
    testbed::UsbIdentity id = arg == "--diag-id" ? usb->diag : usb->dload;
    if (!v || !parse_identity(v, &id)) return usage_error("bad identity for " + arg);
    if (arg == "--diag-id") {
        usb->diag = id;
    } else {
        usb->dload = usb->stream = id;
    }
    return 0;
}

// One modem's option and its value; 0 when it was understood, else the exit status of a usage
// error.
int apply_modem_option(const std::string& arg, const char* v, Modem* m) {
    if (arg == "--disk") {
        m->usb.disk_after_reset = true;
    } else if (arg == "--diag-id" || arg == "--dload-id") {
        return read_identity(arg, v, &m->usb);
    } else if (!v) {
        return usage_error(arg + " needs a value");
    } else if (arg == "--mode") {
        return read_mode(v, &m->options);
    } else if (arg == "--efs-root" || arg == "--transcript" || arg == "--serial" ||
               arg == "--hub-port" || arg == "--build-version" || arg == "--new-build-version") {
        (arg == "--efs-root"        ? m->options.efs_root
         : arg == "--transcript"    ? m->options.transcript
         : arg == "--serial"        ? m->usb.serial
         : arg == "--hub-port"      ? m->usb.hub_port
         : arg == "--build-version" ? m->options.build_version
                                    : m->options.new_build_version) = v;
    } else if (arg == "--return-delay") {
        long n = 0;
        if (!read_number(v, 0, 86400000, &n)) return usage_error(arg + " needs a number");
        m->options.return_delay_ms = static_cast<int>(n);
    } else if (arg == "--fault") {
        std::string error;
        std::optional<emu::Fault> fault = emu::Fault::parse(v, &error);
        if (!fault) return usage_error("bad fault: " + error);
        m->options.faults.push_back(*fault);
    } else {
        return usage_error("unknown option " + arg);
    }
    return 0;
}

bool takes_value(const std::string& arg) {
    for (const char* name :
         {"--diag-id", "--dload-id", "--mode", "--efs-root", "--transcript", "--dump",
          "--return-delay", "--time-limit", "--fault", "--serial", "--hub-port", "--build-version",
          "--new-build-version", "--modems", "--for"})
        if (arg == name) return true;
    return false;
}

// An option of the run as a whole, or one kept for the modems; 0 when it was understood.
int read_option(const std::string& arg, const char* v, int modem, Settings* s) {
    long n = 0;
    if (modem == 0 && (arg == "--modems" || arg == "--time-limit")) {
        const bool modems = arg == "--modems";
        if (!read_number(v, modems ? 1 : 0, modems ? kMaxModems : 86400000, &n))
            return usage_error(arg + " needs a number" +
                               (modems ? " from 1 to " + std::to_string(kMaxModems) : ""));
        (modems ? s->modems : s->time_limit_s) = static_cast<int>(n);
    } else if (modem == 0 && arg == "--dump") {
        if (!v) return usage_error(arg + " needs a value");
        s->dump_dir = v;
    } else if (arg == "--disk" || takes_value(arg)) {
        s->modem_options.push_back({modem, arg, v});
    } else {
        return usage_error("unknown option " + arg);
    }
    return 0;
}

// -1 when the command line was read whole, else the exit status to end with at once.
int read_command_line(int argc, char** argv, Settings* s) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--") {
            s->program.assign(argv + i + 1, argv + argc);
            break;
        }
        long modem = 0;
        if (arg == "--for") {
            if (i + 2 >= argc || !read_number(argv[i + 1], 1, kMaxModems, &modem))
                return usage_error("--for needs a modem number and an option");
            i += 2;
            arg = argv[i];
            if (arg == "--for") return usage_error("--for needs an option after its number");
        }
        const char* value =
            arg != "--disk" && takes_value(arg) && i + 1 < argc ? argv[++i] : nullptr;
        if (int status = read_option(arg, value, static_cast<int>(modem), s); status != 0)
            return status;
    }
    if (s->program.empty()) return usage_error("no program to run");
    if (s->time_limit_s > 86400) s->time_limit_s = 86400;
    return -1;
}

// What each modem is given: the options for all and then its own, in command-line order.
int modems_from(const Settings& s, std::vector<Modem>* modems) {
    for (const ModemOption& o : s.modem_options)
        if (o.modem > s.modems)
            return usage_error("--for " + std::to_string(o.modem) + " names no modem of " +
                               std::to_string(s.modems));
    modems->resize(static_cast<std::size_t>(s.modems));
    for (int k = 1; k <= s.modems; ++k) {
        Modem& m = (*modems)[static_cast<std::size_t>(k - 1)];
        if (s.modems > 1) m.usb.hub_port = "1-1." + std::to_string(k);
        for (const ModemOption& o : s.modem_options) {
            if (o.modem != 0 && o.modem != k) continue;
            if (int status = apply_modem_option(o.name, o.value, &m); status != 0) return status;
            // Several modems writing one transcript would mix their lines.
            if (o.modem == 0 && o.name == "--transcript" && s.modems > 1)
                m.options.transcript += "." + std::to_string(k);
        }
    }
    return -1;
}

// After a success the modem may still be coming back on the bus; after a failure it may never.
bool dump_modem(const emu::Emulator& modem, const std::string& dir) {
    return modem.dump_efs(dir + "/efs") && modem.dump_flash(dir + "/flash");
}

// Each modem's dumps, in a folder of its own when there are several.
void dump_modems(testbed::ModemBench& modems, const std::string& dir, bool succeeded) {
    const auto bound = std::chrono::seconds(succeeded ? 30 : 1);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (std::size_t k = 0; k < modems.size(); ++k) {
        // They all finish at once: the bound is shared, not one per modem.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        modems.modem(k).wait_finished(std::max(left, std::chrono::milliseconds(0)));
        const std::string to = modems.size() == 1 ? dir : dir + "/modem" + std::to_string(k + 1);
        if (!dump_modem(modems.modem(k), to))
            std::fprintf(stderr, "mocked-modem: the dumps could not be written to %s\n",
                         to.c_str());
    }
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

bool plug(const std::vector<Modem>& given, testbed::ModemBench* bench) {
    const bool several = given.size() > 1;
    for (std::size_t k = 0; k < given.size(); ++k) {
        const std::string name = several ? "[modem " + std::to_string(k + 1) + "]" : "[modem]";
        auto said = [name](const emu::Change& change) {
            std::printf("%s %s %s %s%s\n", name.c_str(),
                        change.kind == emu::Change::Kind::Arrived ? "arrived" : "left",
                        emu::mode_name(change.mode), change.device_node.c_str(),
                        change.after_reset ? " after-reset" : "");
            std::fflush(stdout);
        };
        if (!bench->plug(given[k].options, given[k].usb, said)) {
            const std::string which = several ? " " + std::to_string(k + 1) : "";
            std::fprintf(stderr, "mocked-modem: the modem%s did not start: %s\n", which.c_str(),
                         bench->error().c_str());
            bench->stop();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);

    Settings s;
    if (int status = read_command_line(argc, argv, &s); status >= 0) return status;
    std::vector<Modem> given;
    if (int status = modems_from(s, &given); status >= 0) return status;
    // As a shell does: a name without '/' is looked for in PATH, and one found nowhere is said so
    // at once instead of being started (and waited for) in vain.
    const std::string name = s.program[0];
    s.program[0] = testbed::find_program(name);
    if (s.program[0].empty()) {
        std::fprintf(stderr, "%s: not found\n", name.c_str());
        return kNotFound;
    }

    testbed::Testbed::instance();
    testbed::ModemBench bench;
    if (!plug(given, &bench)) return 1;

    testbed::ChildOptions child;
    child.time_limit_ms = s.time_limit_s * 1000;
    child.echo = true;
    testbed::ChildResult result = testbed::run_child(s.program, child);
    if (!result.started) {
        bench.stop();
        std::fprintf(stderr, "%s: %s\n", name.c_str(), std::strerror(result.start_error));
        return result.start_error == ENOENT ? kNotFound : kCannotRun;
    }
    if (!s.dump_dir.empty()) dump_modems(bench, s.dump_dir, result.exit_status == 0);
    bench.stop();
    return report(result, name, s.time_limit_s);
}
