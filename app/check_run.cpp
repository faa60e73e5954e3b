#include "app/check_run.h"
#include "app/session.h"

#include <optional>
#include <string>
#include <vector>

#include "app/firmware_plan.h"
#include "app/json_documents.h"
#include "app/modem_choice.h"
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
// The exit status when several modems are plugged in and none is chosen, or the chosen one is not.
constexpr int kCheckRefused = 2;
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

Device find_device(DeviceLine& line, const ChosenModem& modem, const std::string& settings) {
    Device device;
    close_port(line);
    PortSearch search;
    search.location = modem.location;
    search.log = &line.log();
    search.settings = settings;
    const std::optional<FoundPort> found = find_any_port(search);
    if (!found) return device;
    device.port = found->number;
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
Device probe_device(DeviceLine& line, std::FILE* out, const ChosenModem& modem,
                    const std::string& settings) {
    line.log().set_reason_listener([out](const std::string& reason) {
        std::fprintf(out, "  why: %s\n", reason.c_str());
        std::fflush(out);
    });
    const Device device = find_device(line, modem, settings);
    line.log().set_reason_listener(nullptr);
    return device;
}

void print_device(std::FILE* out, const Device& device, const std::string& settings) {
    if (device.port < 0) {
        std::fprintf(out, "Device: %s (looked for %s)\n", kNoPort,
                     port_identifiers_text(settings).c_str());
        return;
    }
    std::fprintf(out, "Device: port %d (%s), %s", device.port,
                 device.node.empty() ? "?" : device.node.c_str(), mode_name(device.mode));
    if (device.mode == MODE_DIAG)
        std::fprintf(out, ", current version %s",
                     device.version.empty() ? "unreadable" : device.version.c_str());
    std::fprintf(out, "\n");
}

// The verdict's sentence in *text; true when a run could start.
bool verdict(const Package& package, const Device& device, std::string* text) {
    // Which it is sends the user to the cable and settings.ini, or to the modem itself.
    if (device.port < 0 || device.mode == MODE_NONE) {
        *text = std::string("A run could not start: ") + (device.port < 0 ? kNoPort : kMute) + ".";
        return false;
    }
    if (device.mode != MODE_DIAG) {
        if (!package.has_firmware()) {
            *text =
                "A run could not start: the device is in download mode and the package holds no "
                "firmware.";
            return false;
        }
        *text = "A run would download the firmware (version " + package.target_version +
                "); nothing is copied.";
        return true;
    }
    std::string copy = package.has_home && package.has_iso ? "home/ and image.iso"
                       : package.has_home                  ? "home/"
                       : package.has_iso                   ? "image.iso"
                                                           : "nothing";
    if (package.has_firmware())
        *text = "A run would copy " + copy +
                " to the device, then download the firmware: version " +
                (device.version.empty() ? "?" : device.version) + " is replaced by " +
                package.target_version + ".";
    else
        *text = "A run would copy " + copy + " to the device; the firmware stays (copy-only job).";
    return true;
}

// The device as the report gives it, with the USB location and serial of the modem whose port
// it is; nothing when none was found.
std::optional<CheckedDevice> checked_device(const Device& device, const std::string& settings) {
    if (device.port < 0) return std::nullopt;
    CheckedDevice checked{device.port, std::nullopt, std::nullopt, device.mode, std::nullopt};
    if (!device.version.empty()) checked.version = device.version;
    const std::optional<std::vector<PackageModem>> modems = list_package_modems(settings);
    for (const PackageModem& modem : modems.value_or(std::vector<PackageModem>{}))
        for (const ModemPort& port : modem.ports)
            if (port.number == device.port) {
                if (!modem.location.empty()) checked.location = modem.location;
                if (!modem.serial.empty()) checked.serial = modem.serial;
            }
    return checked;
}

// Prints the verdict, and the whole report as a JSON document when there is a stream for it.
int conclude(std::FILE* out, std::FILE* document, CheckReport* report, bool ready,
             const std::string& text, int refused_status = 1) {
    std::fprintf(out, "%s\n", text.c_str());
    report->ready = ready;
    report->verdict_text = text;
    report->exit_status = ready ? 0 : refused_status;
    if (document) std::fputs(check_document(*report).c_str(), document);
    return report->exit_status;
}

}  // namespace

int run_check(Session& session, std::FILE* out, const std::string& wanted_device,
              std::FILE* document) {
    const std::string folder = session.package_folder.program_folder();
    const std::string settings = settings_path(folder);
    std::fprintf(out, "Package folder: %s\n", folder.c_str());
    CheckReport report;
    report.package = folder;
    Package package;
    std::string refusal;
    const bool package_ok = check_package(folder, &package, &refusal);
    if (package_ok) {
        print_package(out, package);
        report.package_version = package.target_version;
    } else {
        std::fprintf(out, "Package: refused: %s\n", refusal.c_str());
        report.package_refusal = refusal;
    }
    std::fflush(out);

    // Which of several modems a search finds is chance: none is asked anything then.
    ChosenModem modem;
    std::string unchosen;
    if (!choose_modem(settings, wanted_device, &modem, &unchosen)) {
        std::fprintf(out, "Device: %s", unchosen.c_str());
        return conclude(out, document, &report, false,
                        "A run would be refused: it cannot tell which modem to upgrade.",
                        kCheckRefused);
    }
    const Device device = probe_device(session.line, out, modem, settings);
    print_device(out, device, settings);
    report.device = checked_device(device, settings);
    // Told, not refused: a run installs the firmware again, which repairs a damaged one.
    if (package_ok && package.installed_in(device.version))
        std::fprintf(out, "  the device already runs the package's version\n");

    if (!package_ok)
        return conclude(out, document, &report, false,
                        "A run would be refused: the package is not usable.");
    std::string text;
    const bool ready = verdict(package, device, &text);
    return conclude(out, document, &report, ready, text);
}
