// Which modem a run or --check works on: the one --device names, else the only one of the package
// that is plugged in. A run is bound to it from its start and follows it by its USB location.
#pragma once

#include <string>

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
bool choose_modem(const std::string& wanted, ChosenModem* chosen, std::string* refusal);
