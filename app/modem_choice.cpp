#include "app/modem_choice.h"

#include <optional>
#include <vector>

#include "app/list_run.h"
#include "discovery/port_discovery.h"

namespace {

std::string how_to_choose() {
    return std::string("choose one with ") + kDeviceOption + " LOCATION or " + kDeviceOption +
           " SERIAL";
}

std::string table_of(const std::vector<PackageModem>& modems, const std::string& settings) {
    std::vector<ListedModem> listed;
    for (const PackageModem& modem : modems)
        listed.push_back(unasked_modem(modem));
    return modem_table(listed, settings);
}

// The modems at the wanted location, else those with the wanted serial number.
std::vector<const PackageModem*> wanted_modems(const std::vector<PackageModem>& modems,
                                               const std::string& wanted) {
    std::vector<const PackageModem*> found;
    for (const PackageModem& modem : modems)
        if (!modem.location.empty() && modem.location == wanted) found.push_back(&modem);
    if (!found.empty()) return found;
    for (const PackageModem& modem : modems)
        if (!modem.serial.empty() && modem.serial == wanted) found.push_back(&modem);
    return found;
}

bool refuse(const std::string& why, const std::vector<PackageModem>& modems,
            const std::string& settings, std::string* refusal) {
    *refusal =
        why + (modems.empty() ? "\n" : ": " + how_to_choose() + "\n") + table_of(modems, settings);
    return false;
}

}  // namespace

bool choose_modem(const std::string& settings, const std::string& wanted, ChosenModem* chosen,
                  std::string* refusal) {
    *chosen = {};
    const std::vector<PackageModem> modems =
        list_package_modems(settings).value_or(std::vector<PackageModem>{});
    if (wanted.empty()) {
        if (modems.size() > 1)
            return refuse(std::to_string(modems.size()) + " modems of this package are plugged in",
                          modems, settings, refusal);
        if (modems.size() == 1) *chosen = {modems.front().location, modems.front().serial};
        return true;
    }
    const std::vector<const PackageModem*> found = wanted_modems(modems, wanted);
    if (found.size() == 1) {
        *chosen = {found.front()->location, found.front()->serial};
        return true;
    }
    if (found.empty())
        return refuse(std::string(kDeviceOption) + " " + wanted +
                          ": no modem of this package that is plugged in has that location or "
                          "serial number",
                      modems, settings, refusal);
    return refuse(
        std::to_string(found.size()) + " modems of this package have the serial number " + wanted,
        modems, settings, refusal);
}

namespace {

ModemEntry entry_of(const PackageModem& modem) {
    const ListedModem listed = unasked_modem(modem);
    std::string text = modem.location.empty() ? "unknown USB location" : modem.location;
    text += modem.serial.empty() ? ", no serial number" : ", serial " + modem.serial;
    text += ", " + listed.unasked_mode;
    if (listed.unasked_mode == "normal" || listed.unasked_mode == "download") text += " mode";
    return {modem.location.empty() ? modem.serial : modem.location, text};
}

}  // namespace

std::vector<ModemEntry> modem_entries(const std::string& settings) {
    std::vector<ModemEntry> entries;
    for (const PackageModem& modem :
         list_package_modems(settings).value_or(std::vector<PackageModem>{}))
        entries.push_back(entry_of(modem));
    return entries;
}

int entry_index(const std::vector<ModemEntry>& entries, const std::string& wanted) {
    if (wanted.empty()) return -1;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].wanted == wanted) return static_cast<int>(i);
    return -1;
}
