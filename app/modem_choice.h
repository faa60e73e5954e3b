// Which modem a run or --check works on: the one --device names, else the only one of the package
// that is plugged in. A run is bound to it from its start and follows it by its USB location.
#pragma once

#include <string>
#include <vector>

// The modem a run is bound to: where it is plugged in and its serial number.
struct ChosenModem {
    std::string location;  // empty: the first port a run finds decides
    std::string serial;    // empty when it has none
};

// The option that names the modem.
constexpr const char* kDeviceOption = "--device";

// Chooses among the modems of the package that are plugged in, asking none of them anything: the
// one whose USB location or serial number is wanted, or, with nothing wanted, the only one (none
// chosen when none is plugged in: the search then says so). False, with what was found (as --list
// shows it, without mode probe and version) and how to choose in *refusal, when several are
// plugged in and none is wanted, or when the wanted one is not among them.
bool choose_modem(const std::string& settings, const std::string& wanted, ChosenModem* chosen,
                  std::string* refusal);

// One modem in the dialog's chooser: what choosing it hands to the check and the run (its location,
// else its serial number), and how the chooser names it.
struct ModemEntry {
    std::string wanted;
    std::string text;
};

// The modems of the package that are plugged in, named by location, serial number and the mode
// their ports' identifiers show; nothing is asked of any device.
std::vector<ModemEntry> modem_entries(const std::string& settings);

// Where wanted stands among entries; -1 when it is not there (or is empty).
int entry_index(const std::vector<ModemEntry>& entries, const std::string& wanted);
