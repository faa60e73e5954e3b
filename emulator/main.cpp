// modem-emulator: the emulated modem on a pseudo-terminal, for trying the tool without hardware.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "emulator/emulator.h"

namespace {

const char kHelp[] =
    "Usage: modem-emulator [options]\n"
    "Plays a USB modem on a pseudo-terminal: normal firmware (DIAG with its file system), boot\n"
    "downloader (DLOAD) and flash programmer (streaming download). Prints one line per change:\n"
    "  arrived <mode> <device node>[ after-reset]   the device can be opened there\n"
    "  left <mode> <device node>                    the device went away (mode change)\n"
    "  finished                                     the final reset is over: the device is back\n"
    "                                               (or, with --no-return, gone for good)\n"
    "Runs until SIGINT or SIGTERM (or --exit-when-done), then writes the dumps asked for.\n"
    "\n"
    "Options:\n"
    "  --mode diag|dload|stream   mode at start (default diag)\n"
    "  --efs-root DIR             load the device file system from this host folder\n"
    "                             (default: empty, with /home)\n"
    "  --efs-capacity BYTES       room for file contents (default 67108864)\n"
    "  --build-version TEXT       build version reported by DIAG 0x7C (default \"FW 1.0.0 B001\")\n"
    "  --new-build-version TEXT   build version after a firmware download and reset\n"
    "                             (default \"FW 1.0.1 B002\")\n"
    "  --answer-flag              DLOAD and streaming answers open with a 0x7E flag\n"
    "  --return-delay MS          time away between modes, in ms (default 2000; divided by\n"
    "                             FWUP_TIME_DIVISOR like every pause of the product)\n"
    "  --single-pty               keep one pseudo-terminal for the whole run\n"
    "  --no-return                the device does not come back after the final reset\n"
    "  --cooked-line              leave each new pseudo-terminal at the kernel's line defaults\n"
    "  --partition FILE           the partition table the device holds (default: none)\n"
    "  --partition-status N       the programmer answers every partition table with status N\n"
    "                             (0 accepted, 1 differs, 2 not recognized, 3 erase failed);\n"
    "                             with 2 or 3 the table is not stored (default: judged)\n"
    "  --write-protect TYPE       the programmer refuses to open image TYPE (status 4, block 0\n"
    "                             write protected)\n"
    "  --flash-id-length L        flash id length in the hello answer (default 8)\n"
    "  --sectors N                sector count in the hello answer (default 4)\n"
    "  --feature-bits X           feature bits in the hello answer (default 0x09)\n"
    "  --transcript FILE          write every request, answer and event, one line each\n"
    "  --fault FAULT              inject a fault (repeatable), FAULT = "
    "kind:mode:cmd[:key=value...]\n"
    "       kind  drop        the request is lost: no answer, nothing done\n"
    "             lose        the request is carried out, its answer is lost\n"
    "             delay       the answer comes ms later (default 1000, past the read time-out)\n"
    "             split       the answer comes in two writes, ms apart (default 100)\n"
    "             badcrc      the answer carries a corrupted CRC (the request is carried out)\n"
    "             nak         DLOAD only: NAK with code instead of the answer\n"
    "             diagerr     DIAG only: the 0x13 error answer instead of the answer\n"
    "             logbefore   streaming only: a 0x0E log message, ms later (default 50) the "
    "answer\n"
    "             loginstead  streaming only: a 0x0E log message instead of the answer\n"
    "             hangup      the line goes dead; the device comes back in the same mode on a\n"
    "                         new node after the return delay\n"
    "                         (back=MODE: in that mode; ms=N: after N ms; stay: only when\n"
    "                         plugged back in, which this program never does)\n"
    "             efs         DIAG 0x4B 0x13 only: the operation fails with errno code\n"
    "                         (default 5)\n"
    "       mode  diag, dload or stream\n"
    "       cmd   the request's first byte (0x3a, 15, ...) or any\n"
    "       keys  efs=N     EFS2 subsystem code the request must carry (0x4B 0x13 requests)\n"
    "             nth=N     first matching request hit, counting from 1 (default 1)\n"
    "             times=K   matching requests hit from the nth on (default 1; 0: all)\n"
    "             every     same as times=0\n"
    "             p=P       each eligible request is hit with probability P (see --seed)\n"
    "             ms=N      duration of delay, split and logbefore\n"
    "             code=N    NAK code (nak) or errno (efs)\n"
    "             back=MODE the mode a device that hung up comes back in (hangup)\n"
    "             stay      a device that hung up stays away (hangup)\n"
    "       e.g.  --fault drop:diag:0x4b:efs=2:nth=3   --fault nak:dload:0x0f:code=7:times=0\n"
    "             --fault delay:stream:0x07:nth=2:ms=900   --fault efs:diag:0x4b:efs=5:code=28\n"
    "  --seed N                   seed for faults with a probability (default 1)\n"
    "  --exit-when-done           end once the device is back after its final reset\n"
    "  --dump-efs DIR             at the end, write the file system into DIR (new or empty)\n"
    "  --dump-flash DIR           at the end, write image-<type>.bin, header-<type>.bin,\n"
    "                             partition.bin, programmer-ram.bin and programmer.txt into DIR\n"
    "  --help                     this text\n";

bool read_file(const std::string& path, std::vector<std::uint8_t>* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool to_int(const char* text, long long low, long long high, long long* value) {
    char* end = nullptr;
    *value = std::strtoll(text, &end, 0);
    return *text && *end == '\0' && *value >= low && *value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    emu::Options options;
    std::string dump_efs, dump_flash;
    bool exit_when_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "modem-emulator: %s wants a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](long long low, long long high) {
            const char* text = value();
            long long v = 0;
            if (!to_int(text, low, high, &v)) {
                std::fprintf(stderr, "modem-emulator: bad value for %s: %s\n", arg.c_str(), text);
                std::exit(2);
            }
            return v;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--mode") {
            const std::string m = value();
            if (m == "diag") {
                options.start_mode = emu::Mode::Diag;
            } else if (m == "dload") {
                options.start_mode = emu::Mode::Dload;
            } else if (m == "stream") {
                options.start_mode = emu::Mode::Stream;
            } else {
                std::fprintf(stderr, "modem-emulator: unknown mode %s\n", m.c_str());
                return 2;
            }
        } else if (arg == "--efs-root") {
            options.efs_root = value();
        } else if (arg == "--efs-capacity") {
            options.efs_capacity = static_cast<std::uint64_t>(number(0, 1ll << 40));
        } else if (arg == "--build-version") {
            options.build_version = value();
        } else if (arg == "--new-build-version") {
            options.new_build_version = value();
        } else if (arg == "--answer-flag") {
            options.answer_flag = true;
        } else if (arg == "--return-delay") {
            options.return_delay_ms = static_cast<int>(number(0, 600000));
        } else if (arg == "--single-pty") {
            options.single_pty = true;
        } else if (arg == "--no-return") {
            options.return_after_reset = false;
        } else if (arg == "--cooked-line") {
            options.cooked_line = true;
        } else if (arg == "--partition") {
            const char* path = value();
            if (!read_file(path, &options.partition_table)) {
                std::fprintf(stderr, "modem-emulator: cannot read %s\n", path);
                return 2;
            }
        } else if (arg == "--partition-status") {
            options.partition_status = static_cast<int>(number(0, 255));
        } else if (arg == "--write-protect") {
            options.write_protected_type = static_cast<int>(number(0, 255));
        } else if (arg == "--flash-id-length") {
            options.hello.flash_id_length = static_cast<int>(number(0, 255));
        } else if (arg == "--sectors") {
            options.hello.sector_count = static_cast<int>(number(0, 0xFFFF));
        } else if (arg == "--feature-bits") {
            options.hello.feature_bits = static_cast<std::uint8_t>(number(0, 255));
        } else if (arg == "--transcript") {
            options.transcript = value();
        } else if (arg == "--fault") {
            std::string error;
            auto fault = emu::Fault::parse(value(), &error);
            if (!fault) {
                std::fprintf(stderr, "modem-emulator: %s\n", error.c_str());
                return 2;
            }
            options.faults.push_back(*fault);
        } else if (arg == "--seed") {
            options.seed = static_cast<std::uint32_t>(number(0, 0xFFFFFFFFll));
        } else if (arg == "--exit-when-done") {
            exit_when_done = true;
        } else if (arg == "--dump-efs") {
            dump_efs = value();
        } else if (arg == "--dump-flash") {
            dump_flash = value();
        } else {
            std::fprintf(stderr, "modem-emulator: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }

    // Signals are taken by sigtimedwait below, never by a handler on the device's thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    emu::Emulator emulator(options);
    emulator.on_change([](const emu::Change& change) {
        std::printf("%s %s %s%s\n", change.kind == emu::Change::Kind::Arrived ? "arrived" : "left",
                    emu::mode_name(change.mode), change.device_node.c_str(),
                    change.after_reset ? " after-reset" : "");
        std::fflush(stdout);
    });
    if (!emulator.start()) {
        std::fprintf(stderr, "modem-emulator: %s\n", emulator.error().c_str());
        return 1;
    }
    bool reported = false;
    for (;;) {
        timespec tick{0, 100 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &tick) > 0) break;
        if (emulator.finished() && !reported) {
            reported = true;
            std::printf("finished\n");
            std::fflush(stdout);
            if (exit_when_done) break;
        }
    }
    emulator.stop();
    int status = 0;
    if (!dump_efs.empty() && !emulator.dump_efs(dump_efs)) {
        std::fprintf(stderr, "modem-emulator: cannot dump the file system into %s\n",
                     dump_efs.c_str());
        status = 1;
    }
    if (!dump_flash.empty() && !emulator.dump_flash(dump_flash)) {
        std::fprintf(stderr, "modem-emulator: cannot dump the flash into %s\n", dump_flash.c_str());
        status = 1;
    }
    return status;
}
