// Finds the device's serial port by matching instance identifiers against settings prefixes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/log_sink.h"

// Port types: the settings keys diag%d, download%d, savedownload%d.
constexpr int PORT_DIAG = 0;
constexpr int PORT_DOWNLOAD = 1;
constexpr int PORT_SAVEDOWNLOAD = 2;

// The identifier prefix an empty settings value stands for before any other was searched with.
constexpr const char* kBuiltinPortPrefix = "USB\\VID_05C6&PID_9003&MI_00";

// What a search matches against, held by its caller from one search to the next.
struct PortSearch {
    // Only ports of the modem plugged in here count; empty: ports at any location.
    std::string location;
    // What an empty identifier of settings.ini stands for: the last non-empty one searched with.
    std::string last_identifier = kBuiltinPortPrefix;
    // Where the search logs what it matched; the caller's run's sink.
    LogSink* log = &program_log();
    // The settings.ini whose identifiers are searched for: the one of the session's package.
    std::string settings;
};

// A port a search found: its COM number, the port type whose identifier it matched, its instance
// identifier, and where its modem is plugged in (location and serial, empty when unknown).
struct FoundPort {
    int number = -1;
    int type = PORT_DIAG;
    std::string instance_id;
    std::string location;
    std::string serial;
};

// Searches the port type's identifiers in settings.ini, in order: the first port that matches one
// (at search.location, when it is set). Opens and closes no port.
std::optional<FoundPort> find_port(int type, PortSearch& search);
// The first port find_port finds for diag, download, savedownload, tried in that order.
std::optional<FoundPort> find_any_port(PortSearch& search);
// The port types' settings identifiers, as "diag0=<prefix>" items in the order the searches use
// them (diag, download, savedownload; idnum of each); an empty value is kept, as a search sees it.
std::vector<std::string> listed_port_identifiers(const std::string& settings);
// The first present port (at search.location, when it is set) whose instance identifier begins
// with the identifier, or, for an empty identifier, with search.last_identifier. A non-empty
// identifier becomes search.last_identifier.
std::optional<FoundPort> find_port_by_id(const std::string& identifier, PortSearch& search);

// One present serial port as a search sees it: its instance identifier ("?" when unreadable) and
// its string properties.
struct PortDevice {
    std::string instance_id;
    std::optional<std::string> friendly_name;  // "<description> (COM<n>)"
    std::optional<std::string> description;
    // Where the modem the port belongs to is plugged in, the same for every port of one modem and
    // kept across its re-enumerations: on Linux the USB device's name on the bus ("1-1.4"), on
    // Windows its location path (or its hub and port, or at least its instance identifier). Empty
    // when unknown: the port then stands for a modem of its own.
    std::string location;
    // The USB device's serial number; empty when it has none.
    std::string serial;
    // False when the location is only the USB device's own identifier (Windows without a location
    // path or hub port): that changes at each re-enumeration, as the device's identity changes with
    // its mode, so such a port cannot be told to be at another location and counts wherever a run
    // is bound.
    bool placed = true;
};
using PortDeviceList = std::vector<PortDevice>;

// A port of a modem of the package: the port type whose identifier it matched first (diag,
// download, savedownload, in that order), its instance identifier and its COM number (-1 when its
// name carries none).
struct ModemPort {
    int type = PORT_DIAG;
    std::string instance_id;
    int number = -1;
};

// A modem of the package that is plugged in: its USB location, serial and matching ports, in
// enumeration order.
struct PackageModem {
    std::string location;
    std::string serial;
    std::vector<ModemPort> ports;
};

// The modems of the package whose settings.ini is settings that are plugged in, in any mode, one
// per location, in the order their first port is enumerated; nothing when the ports cannot be
// listed.
std::optional<std::vector<PackageModem>> list_package_modems(const std::string& settings);
// How many modems list_package_modems() finds; 0 when the ports cannot be listed.
int count_package_modems(const std::string& settings);

enum class DeviceProperty { FriendlyName, DeviceDesc };

// The COM number of the device when its instance identifier begins with prefix and its name
// carries a COM number; nothing otherwise.
std::optional<int> match_port_device(const PortDeviceList& list, std::size_t device,
                                     const std::string& prefix, LogSink& log = program_log());
// The friendly name, else the description; nothing when the device has neither.
std::optional<std::string> get_device_name(const PortDeviceList& list, std::size_t device);
std::optional<std::string> get_device_property(const PortDeviceList& list, std::size_t device,
                                               DeviceProperty property);
// The identifiers of one port type, empty ones included.
struct TypeIdentifiers {
    int type;
    std::vector<std::string> identifiers;
};
// The modems with a port whose instance identifier begins with one of the identifiers (empty ones
// are skipped), grouped by location.
std::vector<PackageModem> group_modems(const PortDeviceList& list,
                                       const std::vector<TypeIdentifiers>& identifiers);
