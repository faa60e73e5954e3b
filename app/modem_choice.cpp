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

std::string table_of(const std::vector<PackageModem>& modems) {
    std::vector<ListedModem> listed;
    for (const PackageModem& modem : modems)
        listed.push_back(unasked_modem(modem));
    return modem_table(listed);
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

bool refuse(const std::string& why, const std::vector<PackageModem>& modems, std::string* refusal) {
    *refusal = why + (modems.empty() ? "\n" : ": " + how_to_choose() + "\n") + table_of(modems);
    return false;
}

}  // namespace

bool choose_modem(const std::string& wanted, ChosenModem* chosen, std::string* refusal) {
    *chosen = {};
    const std::vector<PackageModem> modems =
        list_package_modems().value_or(std::vector<PackageModem>{});
    if (wanted.empty()) {
        if (modems.size() > 1)
            return refuse(std::to_string(modems.size()) + " modems of this package are plugged in",
                          modems, refusal);
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
                      modems, refusal);
    return refuse(
        std::to_string(found.size()) + " modems of this package have the serial number " + wanted,
        modems, refusal);
}
