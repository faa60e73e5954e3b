#include "app/check_run.h"
#include "app/session.h"

#include <string>

#include "app/device_return.h"
#include "app/firmware_plan.h"
#include "app/package_check.h"
#include "app/package_sums.h"
#include "app/run_log.h"
#include "base/platform_paths.h"
#include "base/reasons.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "link/port_table.h"
#include "probe/mode_probe.h"

namespace {

constexpr const char* kNoPort = "no port of the device was found";
constexpr const char* kMute = "a port was found but the device does not answer";

struct Device {
    int port = -1;
    std::string node;
    int mode = MODE_NONE;
    std::string version;  // read in normal mode only
};

unsigned long long bytes(std::uint64_t n) {
    return static_cast<unsigned long long>(n);
}

void print_package(std::FILE* out, const Package& package) {
    std::fprintf(out, "Package:\n  settings.ini          target version %s%s\n",
                 package.target_version.c_str(),
                 package.removes_router_conf ? "; /router.conf is removed first" : "");
    if (package.has_home) {
        const HomePlan& home = package.home;
        std::fprintf(out,
                     "  home%c                 %d files (%llu bytes), %d folders, %d links -> "
                     "/home, emptied first\n",
                     path_separator(), home.files, bytes(home.bytes), home.folders, home.links);
    }
    if (package.has_iso)
        std::fprintf(out, "  image.iso             %llu bytes -> /image.iso\n",
                     bytes(package.iso_size));
    for (const PackageFile& file : package.firmware) {
        const std::string name = std::string(kFirmwareFolder) + path_separator() + file.name;
        std::fprintf(out, "  %-21s %llu bytes", name.c_str(), bytes(file.size));
        if (is_firmware_file(file.name, FirmwareRole::Programmer)) {
            const HexSummary& p = package.programmer;
            std::fprintf(out, ": %llu bytes loaded at 0x%08X, started at 0x%08X",
                         bytes(p.data_bytes), p.lowest, p.go_address);
        }
        std::fprintf(out, "\n");
    }
    if (!package.has_firmware())
        std::fprintf(out, "  %s%c                no firmware set: a copy-only job\n",
                     kFirmwareFolder, path_separator());
    if (package.sealed)
        std::fprintf(out, "  %-21s %d files listed, all of them match\n", kSumsFile,
                     package.sealed_files);
    else
        std::fprintf(out, "%s\n", kNoSumsNote);
}

Device find_device(DeviceLine& line) {
    Device device;
    close_port(line);
    device.port = find_port(PORT_DIAG);
    if (device.port < 0) device.port = find_port(PORT_DOWNLOAD);
    if (device.port < 0) device.port = find_port(PORT_SAVEDOWNLOAD);
    if (device.port < 0) return device;
    port_table_lookup(device.port, &device.node);
    device.mode = probe_mode(line, device.port);
    if (device.mode == MODE_DIAG) {
        const char* version = retry_get_build_ver(line);
        if (version) device.version = version;
    }
    close_port(line);
    return device;
}

// find_device with the reasons of its failures printed.
Device probe_device(DeviceLine& line, std::FILE* out) {
    set_reason_listener([out](const std::string& reason) {
        std::fprintf(out, "  why: %s\n", reason.c_str());
        std::fflush(out);
    });
    const Device device = find_device(line);
    set_reason_listener(nullptr);
    return device;
}

void print_device(std::FILE* out, const Device& device) {
    if (device.port < 0) {
        std::fprintf(out, "Device: %s (looked for %s)\n", kNoPort, port_identifiers_text().c_str());
        return;
    }
    std::fprintf(out, "Device: port %d (%s), %s", device.port,
                 device.node.empty() ? "?" : device.node.c_str(), mode_name(device.mode));
    if (device.mode == MODE_DIAG)
        std::fprintf(out, ", current version %s",
                     device.version.empty() ? "unreadable" : device.version.c_str());
    std::fprintf(out, "\n");
}

// The verdict; true when a run could start.
bool print_verdict(std::FILE* out, const Package& package, const Device& device) {
    // Which it is sends the user to the cable and settings.ini, or to the modem itself.
    if (device.port < 0 || device.mode == MODE_NONE) {
        std::fprintf(out, "A run could not start: %s.\n", device.port < 0 ? kNoPort : kMute);
        return false;
    }
    if (device.mode != MODE_DIAG) {
        if (!package.has_firmware()) {
            std::fprintf(out,
                         "A run could not start: the device is in download mode and the package "
                         "holds no firmware.\n");
            return false;
        }
        std::fprintf(out, "A run would download the firmware (version %s); nothing is copied.\n",
                     package.target_version.c_str());
        return true;
    }
    std::string copy = package.has_home && package.has_iso ? "home/ and image.iso"
                       : package.has_home                  ? "home/"
                       : package.has_iso                   ? "image.iso"
                                                           : "nothing";
    if (package.has_firmware()) {
        std::fprintf(out,
                     "A run would copy %s to the device, then download the firmware: version %s "
                     "is replaced by %s.\n",
                     copy.c_str(), device.version.empty() ? "?" : device.version.c_str(),
                     package.target_version.c_str());
    } else {
        std::fprintf(out,
                     "A run would copy %s to the device; the firmware stays (copy-only job).\n",
                     copy.c_str());
    }
    return true;
}

}  // namespace

int run_check(Session& session, std::FILE* out) {
    char folder[kPathBuffer];
    compute_program_folder(folder);
    std::fprintf(out, "Package folder: %s\n", folder);
    Package package;
    std::string refusal;
    const bool package_ok = check_package(folder, &package, &refusal);
    if (package_ok)
        print_package(out, package);
    else
        std::fprintf(out, "Package: refused: %s\n", refusal.c_str());
    std::fflush(out);

    // Which of several modems a search finds is chance: none is asked anything then.
    const std::string several = several_modems_refusal();
    const Device device = several.empty() ? probe_device(session.line, out) : Device{};
    if (several.empty())
        print_device(out, device);
    else
        std::fprintf(out, "Device: %s\n", several.c_str());
    // Told, not refused: a run installs the firmware again, which repairs a damaged one.
    if (package_ok && package.installed_in(device.version))
        std::fprintf(out, "  the device already runs the package's version\n");

    if (!package_ok) {
        std::fprintf(out, "A run would be refused: the package is not usable.\n");
        return 1;
    }
    if (!several.empty()) {
        std::fprintf(out, "A run would be refused: more than one modem is plugged in.\n");
        return 1;
    }
    return print_verdict(out, package, device) ? 0 : 1;
}
