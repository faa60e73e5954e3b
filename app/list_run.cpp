#include "app/list_run.h"

#include "app/session.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>

#include "app/json_documents.h"
#include "app/run_log.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "link/port_table.h"
#include "probe/mode_probe.h"

namespace {

constexpr const char* kNone = "-";
constexpr const char* kNoModem = "No modem of this package is plugged in";

// The port a run would begin with: the first diag port, else download, else savedownload.
const ModemPort* port_to_probe(const PackageModem& modem) {
    for (int type : {PORT_DIAG, PORT_DOWNLOAD, PORT_SAVEDOWNLOAD})
        for (const ModemPort& port : modem.ports)
            if (port.type == type && port.number >= 0) return &port;
    return nullptr;
}

// "1 /dev/ttyUSB0" where a number stands for a device node, else "COM7".
std::string port_name(int number) {
    std::string node;
    if (port_table_lookup(number, &node)) return std::to_string(number) + " " + node;
    return port_path(number);
}

// The modem's line with the port it would be asked on, *port; none when it has no port to open.
ListedModem modem_line(const PackageModem& modem, const ModemPort** port) {
    ListedModem listed{modem.location, modem.serial, MODE_NONE, -1, "", "", ""};
    *port = port_to_probe(modem);
    if (!*port) return listed;
    listed.port = (*port)->number;
    listed.port_name = port_name(listed.port);
    return listed;
}

ListedModem probe_modem(const PackageModem& modem) {
    const ModemPort* port = nullptr;
    ListedModem listed = modem_line(modem, &port);
    if (!port) return listed;
    DeviceLine line;
    listed.mode = open_port(line, port->number);
    if (listed.mode == MODE_DIAG) {
        const char* version = retry_get_build_ver(line);
        if (version) listed.version = version;
    }
    close_port(line);
    return listed;
}

// Texts from the device and the USB bus go to a terminal: control characters are shown as '?'.
std::string shown(const std::string& text) {
    if (text.empty()) return kNone;
    std::string out = text;
    for (char& c : out)
        if (!std::isprint(static_cast<unsigned char>(c))) c = '?';
    return out;
}

constexpr std::size_t kColumns = 5;
using Row = std::array<std::string, kColumns>;

Row row_of(const ListedModem& modem) {
    const bool probed = modem.port >= 0;
    return {shown(modem.location), shown(modem.serial),
            !modem.unasked_mode.empty() ? modem.unasked_mode
            : probed                    ? listed_mode_name(modem.mode)
                                        : "no port to open",
            shown(probed ? modem.port_name : ""), shown(modem.version)};
}

}  // namespace

const char* listed_mode_name(int mode) {
    switch (mode) {
        case MODE_DIAG:
            return "normal";
        case MODE_DLOAD:
            return "boot downloader";
        case MODE_STREAM:
            return "flash programmer";
        default:
            return "no answer";
    }
}

std::string port_path(int number) {
    std::string node;
    if (port_table_lookup(number, &node)) return node;
    return "COM" + std::to_string(number);
}

std::optional<std::vector<ListedModem>> probe_package_modems(const std::string& settings) {
    std::optional<std::vector<PackageModem>> modems = list_package_modems(settings);
    if (!modems) return std::nullopt;
    std::vector<ListedModem> listed;
    for (const PackageModem& modem : *modems)
        listed.push_back(probe_modem(modem));
    return listed;
}

ListedModem unasked_modem(const PackageModem& modem) {
    const ModemPort* port = nullptr;
    ListedModem listed = modem_line(modem, &port);
    if (!port) {
        listed.unasked_mode = "no port to open";
        return listed;
    }
    // A modem shows its boot downloader and its flash programmer on the same identifiers.
    listed.unasked_mode = port->type == PORT_DIAG ? "normal" : "download";
    return listed;
}

std::string modem_table(const std::vector<ListedModem>& modems, const std::string& settings) {
    if (modems.empty())
        return std::string(kNoModem) + " (looked for " + port_identifiers_text(settings) + ").\n";
    std::vector<Row> rows = {{"LOCATION", "SERIAL", "MODE", "PORT", "VERSION"}};
    for (const ListedModem& modem : modems)
        rows.push_back(row_of(modem));
    std::array<std::size_t, kColumns> width{};
    for (const Row& row : rows)
        for (std::size_t c = 0; c < kColumns; ++c)
            width[c] = std::max(width[c], row[c].size());
    std::string table;
    for (const Row& row : rows) {
        for (std::size_t c = 0; c + 1 < kColumns; ++c)
            table += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        table += row[kColumns - 1] + "\n";
    }
    return table;
}

void print_modem_table(std::FILE* out, const std::vector<ListedModem>& modems,
                       const std::string& settings) {
    std::fputs(modem_table(modems, settings).c_str(), out);
}

int run_list(const Session& session, std::FILE* out, std::FILE* err, std::FILE* document) {
    // Without settings.ini no identifier says which ports are the package's.
    const std::string settings = session.package_folder.settings_path();
    std::error_code ignored;
    if (!std::filesystem::exists(settings, ignored)) {
        std::fprintf(err, "Error: Can't find %s\n", settings.c_str());
        return 1;
    }
    const std::optional<std::vector<ListedModem>> modems = probe_package_modems(settings);
    if (!modems) {
        std::fprintf(err, "Error: the serial ports cannot be listed\n");
        return 1;
    }
    print_modem_table(out, *modems, settings);
    if (document) std::fputs(list_document(*modems).c_str(), document);
    return 0;
}
