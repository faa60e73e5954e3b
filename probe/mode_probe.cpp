#include "probe/mode_probe.h"

#include <iterator>

#include "base/log_sink.h"
#include "diag/diag_commands.h"
#include "dload/dload_commands.h"
#include "link/attempts.h"
#include "link/port_diagnosis.h"
#include "link/serial_port.h"
#include "stream/stream_commands.h"

const char* mode_name(int mode) {
    switch (mode) {
        case MODE_DIAG:
            return "normal mode (DIAG)";
        case MODE_DLOAD:
            return "download mode, boot downloader (DLOAD)";
        case MODE_STREAM:
            return "download mode, flash programmer running";
        default:
            return "no answer to any of its protocols";
    }
}

namespace {

// Closes the line's port and opens port in its place; a failure is logged ("can't open port! 3",
// "can't open dl port! 3" with kind "dl ") and told as the run's reason.
bool open_in_place(DeviceLine& line, int port, const char* kind) {
    if (!line.port) return false;
    line.port->Close();
    line.port_number = port;
    try {
        line.port->Open(port);
    } catch (const CSerialException& e) {
        line.log().write("can't open %sport! %d\n", kind, port);
        line.log().tell_reason("cannot open port %d, %s", port,
                               explain_port_failure(port, e.error()).c_str());
        return false;
    }
    return true;
}

}  // namespace

int open_port(DeviceLine& line, int port) {
    if (!open_in_place(line, port, "")) return MODE_NONE;
    // Fixed order, each probe with its own ten attempts: a device that speaks only one protocol
    // first sees the requests of the protocols tried before it.
    struct Probe {
        int (*ask)(DeviceLine&);
        int mode;
    };
    constexpr Probe kProbes[] = {{dl_nop, MODE_DLOAD},
                                 {dl_nop, MODE_DLOAD},
                                 {get_ver, MODE_DIAG},
                                 {send_dl_hello, MODE_STREAM}};
    constexpr int kProbeCount = static_cast<int>(std::size(kProbes));
    for (int i = 0; i < kProbeCount; ++i) {
        const AttemptsAfter rest(line, kProbeCount - 1 - i);
        if (kProbes[i].ask(line)) return kProbes[i].mode;
    }
    line.log().write("Open port error and close port %d\n", port);
    line.port->Close();
    return MODE_NONE;
}

int open_dl_port(DeviceLine& line, int port) {
    if (!open_in_place(line, port, "dl ")) return 0;
    if (send_dl_hello(line)) return MODE_DLOAD;
    line.log().write("Open port error and close dl port %d\n", port);
    line.port->Close();
    return 0;
}
