#include "discovery/port_discovery.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/settings.h"
#include "discovery/device_list.h"
#include "discovery/instance_id.h"

namespace {

// settings.ini is untrusted: an idnum of two billion would keep a search busy for days, as every
// key is looked up with a full enumeration. No package lists more than a handful of identifiers.
constexpr int kMaxIdnum = 100;

const char* settings_key_format(int type) {
    switch (type) {
        case PORT_DIAG:
            return "diag%d";
        case PORT_DOWNLOAD:
            return "download%d";
        case PORT_SAVEDOWNLOAD:
            return "savedownload%d";
    }
    return nullptr;
}

const char* search_note(int type) {
    switch (type) {
        case PORT_DIAG:
            return "start find diag port\n";
        case PORT_DOWNLOAD:
            return "start find dl port\n";
        case PORT_SAVEDOWNLOAD:
            return "start find save port\n";
    }
    return "";
}

// The value of the port type's key number i in settings.ini; empty when missing.
std::string settings_identifier(int type, int i, const std::string& path) {
    const char* key_format = settings_key_format(type);
    if (!key_format) return "";
    char key[32];
    std::snprintf(key, sizeof key, key_format, i);
    char value[kPathBuffer];
    get_profile_string("id", key, "", value, sizeof value, path);
    return value;
}

int settings_idnum(const std::string& path) {
    int idnum = get_profile_int("id", "idnum", 0, path);
    return idnum > kMaxIdnum ? kMaxIdnum : idnum;
}

bool begins_with_any(const std::string& id, const std::vector<std::string>& identifiers) {
    for (const std::string& prefix : identifiers)
        if (!prefix.empty() && id.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace

std::optional<std::string> get_device_property(const PortDeviceList& list, std::size_t device,
                                               DeviceProperty property) {
    if (device >= list.size()) return std::nullopt;
    const PortDevice& entry = list[device];
    return property == DeviceProperty::FriendlyName ? entry.friendly_name : entry.description;
}

std::optional<std::string> get_device_name(const PortDeviceList& list, std::size_t device) {
    std::optional<std::string> name =
        get_device_property(list, device, DeviceProperty::FriendlyName);
    if (!name) name = get_device_property(list, device, DeviceProperty::DeviceDesc);
    return name;
}

std::optional<int> match_port_device(const PortDeviceList& list, std::size_t device,
                                     const std::string& prefix, LogSink& log) {
    if (device >= list.size()) return std::nullopt;
    std::optional<std::string> name = get_device_name(list, device);
    const std::string& id = list[device].instance_id;
    log.write("find com name = %s\n", id.c_str());
    log.write("my com name = %s\n", prefix.c_str());
    if (id.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    // A port whose name carries no COM number cannot be opened by number: no match.
    std::optional<int> number = name ? com_number_from_name(*name) : std::nullopt;
    if (!number) return std::nullopt;
    log.write("Find my com name = %s OK!!!\n", prefix.c_str());
    return number;
}

namespace {

// The port type of the first identifier the instance identifier begins with, or -1.
int matching_type(const std::string& id, const std::vector<TypeIdentifiers>& identifiers) {
    for (const TypeIdentifiers& listed : identifiers)
        if (begins_with_any(id, listed.identifiers)) return listed.type;
    return -1;
}

}  // namespace

std::vector<PackageModem> group_modems(const PortDeviceList& list,
                                       const std::vector<TypeIdentifiers>& identifiers) {
    std::vector<PackageModem> modems;
    // A port of unknown location is a modem of its own, known by its instance identifier.
    std::vector<std::string> keys;
    for (std::size_t device = 0; device < list.size(); ++device) {
        const PortDevice& port = list[device];
        const int type = matching_type(port.instance_id, identifiers);
        if (type < 0) continue;
        const std::string key = port.location.empty() ? port.instance_id : port.location;
        const auto found = std::find(keys.begin(), keys.end(), key);
        const std::size_t index = static_cast<std::size_t>(found - keys.begin());
        if (found == keys.end()) {
            keys.push_back(key);
            modems.push_back({port.location, port.serial, {}});
        }
        PackageModem& modem = modems[index];
        if (modem.serial.empty()) modem.serial = port.serial;
        std::optional<std::string> name = get_device_name(list, device);
        std::optional<int> number = name ? com_number_from_name(*name) : std::nullopt;
        modem.ports.push_back({type, port.instance_id, number.value_or(-1)});
    }
    return modems;
}

namespace {

// Each listed key of settings.ini with its value, in the order the searches use them.
struct ListedKey {
    int type;
    std::string key;
    std::string value;
};

std::vector<ListedKey> listed_keys(const std::string& path) {
    const int idnum = settings_idnum(path);
    std::vector<ListedKey> keys;
    for (int type : {PORT_DIAG, PORT_DOWNLOAD, PORT_SAVEDOWNLOAD}) {
        for (int i = 0; i < idnum; ++i) {
            char key[32];
            std::snprintf(key, sizeof key, settings_key_format(type), i);
            keys.push_back({type, key, settings_identifier(type, i, path)});
        }
    }
    return keys;
}

}  // namespace

std::vector<std::string> listed_port_identifiers(const std::string& settings) {
    std::vector<std::string> items;
    for (const ListedKey& listed : listed_keys(settings))
        items.push_back(listed.key + "=" + listed.value);
    return items;
}

std::optional<std::vector<PackageModem>> list_package_modems(const std::string& settings) {
    std::vector<TypeIdentifiers> identifiers;
    for (int type : {PORT_DIAG, PORT_DOWNLOAD, PORT_SAVEDOWNLOAD})
        identifiers.push_back({type, {}});
    for (const ListedKey& listed : listed_keys(settings))
        identifiers[static_cast<std::size_t>(listed.type)].identifiers.push_back(listed.value);
    std::optional<PortDeviceList> list = list_present_ports();
    if (!list) return std::nullopt;
    return group_modems(*list, identifiers);
}

int count_package_modems(const std::string& settings) {
    std::optional<std::vector<PackageModem>> modems = list_package_modems(settings);
    return modems ? static_cast<int>(modems->size()) : 0;
}

namespace {

// find_port_by_id, with the port type the found port is reported under.
std::optional<FoundPort> find_typed_port(int type, const std::string& identifier,
                                         PortSearch& search) {
    std::optional<PortDeviceList> list = list_present_ports();
    if (!list) return std::nullopt;
    if (!identifier.empty()) search.last_identifier = identifier;
    for (std::size_t device = 0; device < list->size(); ++device) {
        const PortDevice& port = (*list)[device];
        // Another modem's port is not even looked at: its lines would only crowd the log.
        if (!search.location.empty() && port.placed && port.location != search.location) continue;
        std::optional<int> number =
            match_port_device(*list, device, search.last_identifier, *search.log);
        if (number) return FoundPort{*number, type, port.instance_id, port.location, port.serial};
    }
    return std::nullopt;
}

}  // namespace

std::optional<FoundPort> find_port_by_id(const std::string& identifier, PortSearch& search) {
    return find_typed_port(PORT_DIAG, identifier, search);
}

std::optional<FoundPort> find_port(int type, PortSearch& search) {
    const std::string& path = search.settings;
    search.log->write("start find port ini_path = %s\n", path.c_str());
    int idnum = get_profile_int("id", "idnum", 0, path);
    search.log->write("start find port id num = %d type = %d\n", idnum, type);
    if (idnum > kMaxIdnum) idnum = kMaxIdnum;
    for (int i = 0; settings_key_format(type) && i < idnum; ++i) {
        search.log->write("%s", search_note(type));
        std::optional<FoundPort> found =
            find_typed_port(type, settings_identifier(type, i, path), search);
        if (found) return found;
    }
    search.log->write("Couldn't find com port\n");
    return std::nullopt;
}

std::optional<FoundPort> find_any_port(PortSearch& search) {
    for (int type : {PORT_DIAG, PORT_DOWNLOAD, PORT_SAVEDOWNLOAD}) {
        std::optional<FoundPort> found = find_port(type, search);
        if (found) return found;
    }
    return std::nullopt;
}
