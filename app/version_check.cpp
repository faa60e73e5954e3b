// The end of a full download: the device that came back after its final reset is asked what it
// now runs. Its coming back proves only that the new firmware starts; the version it reports
// proves that it is the package's.
#include <string>

#include "app/run_log.h"
#include "app/worker.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/progress.h"
#include "base/reasons.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "link/port_diagnosis.h"
#include "probe/mode_probe.h"

namespace {

// The device may bring its disk up before its ports: its diag port gets this many searches, one
// second apart, after the device was seen to come back.
constexpr int kDiagPortSearches = 10;
constexpr int kDiagPortSearchMs = 1000;

// Whether the port opens now. A port is listed as soon as the system knows the device, and its
// node or its permissions may still be on their way.
bool port_opens(DeviceLine& line, int port) {
    try {
        line.port->Open(port);
    } catch (const CSerialException& e) {
        line.log().write("port %d is listed but does not open yet: %s\n", port,
                         explain_port_failure(port, e.error()).c_str());
        return false;
    }
    line.port->Close();
    return true;
}

// The diag port of the returned modem, or -1 once the searches ran out.
int wait_for_diag_port(Run& run) {
    DeviceLine& line = run.line;
    for (int search = 0; search < kDiagPortSearches && !stop_requested(line); ++search) {
        if (search > 0) pause_ms(line, kDiagPortSearchMs);
        close_port(line);
        const std::optional<FoundPort> port = find_port(PORT_DIAG, run.search);
        if (port && port_opens(line, port->number)) {
            follow_modem(run, *port);
            return port->number;
        }
    }
    return -1;
}

// Probes the port and reads the build version; the port is closed afterwards. Empty, with the
// reason in *why, when the device does not give it.
std::string read_version(DeviceLine& line, int port, std::string* why) {
    std::string version;
    if (probe_mode(line, port) != MODE_DIAG) {
        *why = "the device came back, but did not answer in normal mode on port " +
               std::to_string(port);
    } else if (const char* text = retry_get_build_ver(line)) {
        version = text;
    } else {
        *why = "the device came back, but did not answer the version request";
    }
    close_port(line);
    return version;
}

}  // namespace

int check_version_after_return(Run& run) {
    // The state is back: device changes no longer search for ports, so the port is the worker's.
    run.stage = "checking the version after the return";
    const int reasons = run.line.log().reasons_told();
    const int port = wait_for_diag_port(run);
    if (port < 0) {
        return fail_because(run, reasons,
                            "the device came back, but its diag port did not show up within " +
                                std::to_string(kDiagPortSearches * kDiagPortSearchMs / 1000) +
                                " s");
    }
    std::string why;
    const std::string version = read_version(run.line, port, &why);
    if (version.empty()) return fail_because(run, reasons, why);
    run.version_after = version;

    const std::string now_runs = "Device now runs version " + version;
    run.line.log().write("%s\n", now_runs.c_str());
    set_info(run.dialog, now_runs);
    run.now_runs = now_runs;
    const Package& package = run.package;
    if (package.names_version() && !package.installed_in(version)) {
        return fail_because(run, reasons,
                            "the device came back with version " + version +
                                "; the package installs " + package.target_version);
    }
    return success_end(run, "Download ok!", 1);
}
