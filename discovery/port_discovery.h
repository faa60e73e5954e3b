// Finds the device's serial port by matching instance identifiers against settings prefixes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Port types: the settings keys diag%d, download%d, savedownload%d.
constexpr int PORT_DIAG = 0;
constexpr int PORT_DOWNLOAD = 1;
constexpr int PORT_SAVEDOWNLOAD = 2;

// Closes the serial port, then searches the port type's identifiers: the COM number or -1.
int find_port(int type);
// The first non-negative result of find_port(0), find_port(1), find_port(2), or -1.
int find_any_port();
// The port identifiers settings.ini lists, as "diag0=<prefix>" items in the order the searches use
// them (diag, download, savedownload; idnum of each); an empty value is kept, as a search sees it.
std::vector<std::string> listed_port_identifiers();
// 1 when a present port's instance identifier begins with the identifier (or, for an empty
// identifier, with my_com_name()); port_number() is then the port's COM number, else -1. A
// non-empty identifier becomes my_com_name().
int find_port_by_id(const char* identifier);
// The COM number the last search found (port_number() of base/shared_state.h), -1 for none.
int get_port_number();

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

// The modems of the package that are plugged in, in any mode, one per location, in the order their
// first port is enumerated; nothing when the ports cannot be listed.
std::optional<std::vector<PackageModem>> list_package_modems();
// How many modems list_package_modems() finds; 0 when the ports cannot be listed.
int count_package_modems();

enum class DeviceProperty { FriendlyName, DeviceDesc };

// 1 when the device's instance identifier begins with my_com_name() and its name carries a COM
// number (port_number() is then set to it), else 0.
int match_port_device(const PortDeviceList& list, std::size_t device);
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
