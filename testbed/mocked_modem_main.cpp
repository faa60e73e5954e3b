// mocked-modem: the emulated modem plugged in as a mocked USB device, and a program run beside it.
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
    "PROGRAM beside it: PROGRAM's libudev sees the modem (and, after the final reset, its disk)\n"
    "and its serial port reaches the emulator through /dev/ttyUSBn. Every mode change unplugs\n"
    "the modem and plugs it in again under that mode's USB identity on a new /dev/ttyUSBn.\n"
    "Prints the modem's changes and PROGRAM's output; exits with PROGRAM's exit status, 124 when\n"
    "it ran past the time limit.\n"
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

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);

    testbed::MockedUsbDeviceOptions usb;
    emu::Options options;
    int time_limit_s = 900;
    std::vector<std::string> program;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--") {
            program.assign(argv + i + 1, argv + argc);
            break;
        } else if (arg == "--diag-id" || arg == "--dload-id") {
            const char* v = value();
            testbed::UsbIdentity id = arg == "--diag-id" ? usb.diag : usb.dload;
            if (!v || !parse_identity(v, &id)) return usage_error("bad identity for " + arg);
            if (arg == "--diag-id") {
                usb.diag = id;
            } else {
                usb.dload = usb.stream = id;
            }
        } else if (arg == "--disk") {
            usb.disk_after_reset = true;
        } else if (arg == "--mode") {
            const char* v = value();
            std::string mode = v ? v : "";
            if (mode == "diag") {
                options.start_mode = emu::Mode::Diag;
            } else if (mode == "dload") {
                options.start_mode = emu::Mode::Dload;
            } else if (mode == "stream") {
                options.start_mode = emu::Mode::Stream;
            } else {
                return usage_error("--mode takes diag, dload or stream");
            }
        } else if (arg == "--efs-root" || arg == "--transcript") {
            const char* v = value();
            if (!v) return usage_error(arg + " needs a value");
            (arg == "--efs-root" ? options.efs_root : options.transcript) = v;
        } else if (arg == "--return-delay" || arg == "--time-limit") {
            const char* v = value();
            char* end = nullptr;
            long n = v ? std::strtol(v, &end, 10) : -1;
            if (!v || *end != '\0' || n < 0 || n > 86400000)
                return usage_error(arg + " needs a number");
            (arg == "--return-delay" ? options.return_delay_ms : time_limit_s) =
                static_cast<int>(n);
        } else if (arg == "--fault") {
            const char* v = value();
            std::string error;
            std::optional<emu::Fault> fault = v ? emu::Fault::parse(v, &error) : std::nullopt;
            if (!fault) return usage_error("bad fault: " + error);
            options.faults.push_back(*fault);
        } else {
            return usage_error("unknown option " + arg);
        }
    }
    if (program.empty()) return usage_error("no program to run");
    if (time_limit_s > 86400) time_limit_s = 86400;

    testbed::Testbed::instance();
    testbed::MockedUsbDevice device(usb);
    options.provider = &device;
    emu::Emulator modem(options);
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
    child.time_limit_ms = time_limit_s * 1000;
    child.echo = true;
    testbed::ChildResult result = testbed::run_child(program, child);
    modem.stop();

    if (!result.finished) {
        std::printf("[mocked-modem] %s ran past %d s and was stopped\n", program[0].c_str(),
                    time_limit_s);
        return 124;
    }
    if (result.signal != 0) {
        std::printf("[mocked-modem] %s ended by signal %d\n", program[0].c_str(), result.signal);
        return 128 + result.signal;
    }
    std::printf("[mocked-modem] %s exited with %d\n", program[0].c_str(), result.exit_status);
    return result.exit_status;
}
