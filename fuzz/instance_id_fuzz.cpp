// The identifier builders on any udev strings: no crash, identifiers never longer than the platform
// allows and always in their form, and a port number read from a name never overflows.
#include <climits>
#include <string>
#include <vector>

#include "discovery/instance_id.h"
#include "fuzz/support/fuzz_check.h"

namespace {

// The input split at NUL bytes into the record's fields, in order.
std::vector<std::string> fields_of(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    fields.resize(10);
    return fields;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Up to ten digits after the first "COM", as a number that may not fit an int.
long long reference_com(const std::string& name, bool* found) {
    const std::size_t at = name.find("COM");
    *found = at != std::string::npos;
    long long value = 0;
    for (std::size_t i = at + 3; *found && i < name.size() && i < at + 13; ++i) {
        if (name[i] < '0' || name[i] > '9') break;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> f = fields_of(data, size);
    const UsbPortRecord port{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]};
    const std::string id = port_instance_id(port);
    FUZZ_CHECK(id.size() <= kMaxInstanceId);
    FUZZ_CHECK(id == kUnreadableId || starts_with(id, "USB\\VID_"));
    const UsbDiskRecord disk{f[0], f[1], f[2], f[3], f[4], f[5]};
    const std::string disk_id = disk_instance_id(disk);
    FUZZ_CHECK(disk_id.size() <= kMaxInstanceId);
    FUZZ_CHECK(disk_id == kUnreadableId || starts_with(disk_id, "USBSTOR\\DISK&VEN_"));
    const int number = static_cast<int>(size);
    const std::string friendly = port_friendly_name(port, number);
    const std::string tail = " (COM" + std::to_string(number) + ")";
    FUZZ_CHECK(friendly.size() > tail.size() &&
               friendly.compare(friendly.size() - tail.size(), tail.size(), tail) == 0);
    const std::string name(reinterpret_cast<const char*>(data), size);
    bool found = false;
    const long long expected = reference_com(name, &found);
    const std::optional<int> com = com_number_from_name(name);
    FUZZ_CHECK(com.has_value() == (found && expected <= INT_MAX));
    FUZZ_CHECK(!com || *com == expected);
    return 0;
}
