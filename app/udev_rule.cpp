#include "app/udev_rule.h"

#include <cctype>
#include <fstream>
#include <optional>
#include <vector>

#include "app/settings_check.h"
#include "base/settings.h"

namespace {

// As many as the port search reads.
constexpr int kMaxIdentifiers = 100;

struct UsbIds {
    std::string vendor;   // four lower-case hex digits, as sysfs writes idVendor
    std::string product;  // the same for idProduct
    std::string keys;     // the settings keys that name this pair, such as "diag0 download0"
};

bool starts_with_nocase(const std::string& text, std::size_t at, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (at + i >= text.size()) return false;
        const auto c = static_cast<unsigned char>(text[at + i]);
        if (std::tolower(c) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
    }
    return true;
}

// Four hex digits at text[at], lower-cased; nothing when they are not there.
std::optional<std::string> hex4(const std::string& text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    std::string out;
    for (std::size_t i = at; i < at + 4; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c)) return std::nullopt;
        out += static_cast<char>(std::tolower(c));
    }
    return out;
}

// "USB\VID_xxxx&PID_xxxx", alone or followed by '&' or '\' and more (MI_00, an instance part).
std::optional<UsbIds> parse_identifier(const std::string& id) {
    if (!starts_with_nocase(id, 0, "USB\\VID_")) return std::nullopt;
    std::optional<std::string> vendor = hex4(id, 8);
    if (!vendor || !starts_with_nocase(id, 12, "&PID_")) return std::nullopt;
    std::optional<std::string> product = hex4(id, 17);
    if (!product) return std::nullopt;
    if (id.size() > 21 && id[21] != '&' && id[21] != '\\') return std::nullopt;
    return UsbIds{*vendor, *product, {}};
}

std::string rule_lines(const UsbIds& ids) {
    const std::string match =
        "ATTR{idVendor}==\"" + ids.vendor + "\", ATTR{idProduct}==\"" + ids.product + "\"";
    const std::string parent_match =
        "ATTRS{idVendor}==\"" + ids.vendor + "\", ATTRS{idProduct}==\"" + ids.product + "\"";
    return "# " + ids.vendor + ":" + ids.product + " (" + ids.keys + ")\n" +
           "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " + match +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" + "SUBSYSTEM==\"tty\", " + parent_match +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n\n";
}

std::string header(const std::string& settings_path) {
    return "# udev rule for fwupgrade, made by \"fwupgrade --udev-rule\" from\n"
           "# " +
           settings_path +
           "\n"
           "# Install it in place of the packaged rule, then replug the modem:\n"
           "#   fwupgrade --udev-rule [--package DIR] > 70-fwupgrade.rules &&\n"
           "#     sudo cp 70-fwupgrade.rules /etc/udev/rules.d/\n"
           "#   sudo udevadm control --reload && sudo udevadm trigger\n"
           "# TAG+=\"uaccess\" lets the user logged in at the seat open the modem's serial ports;\n"
           "# ID_MM_DEVICE_IGNORE=1 keeps ModemManager from probing them during an upgrade.\n\n"
           "ACTION==\"remove\", GOTO=\"fwupgrade_end\"\n\n";
}

// Adds the identity to the list, or the key to the same pair already there.
void add_identity(std::vector<UsbIds>& list, UsbIds ids, const std::string& key) {
    for (UsbIds& known : list) {
        if (known.vendor == ids.vendor && known.product == ids.product) {
            known.keys += " " + key;
            return;
        }
    }
    ids.keys = key;
    list.push_back(std::move(ids));
}

}  // namespace

UdevRule make_udev_rule(const std::string& settings_path) {
    std::vector<UsbIds> identities;
    std::string skipped;
    int count = get_profile_int("id", "idnum", 0, settings_path);
    if (count > kMaxIdentifiers) count = kMaxIdentifiers;
    for (int i = 0; i < count; ++i) {
        for (const char* format : {"diag%d", "download%d", "savedownload%d"}) {
            char key[32];
            std::snprintf(key, sizeof key, format, i);
            char value[kPathBuffer];
            if (get_profile_string("id", key, "", value, sizeof value, settings_path) == 0)
                continue;
            if (std::optional<UsbIds> ids = parse_identifier(value)) {
                add_identity(identities, *ids, key);
            } else {
                skipped += "# skipped " + std::string(key) + "=" + value +
                           ": not a USB\\VID_xxxx&PID_xxxx identifier\n";
            }
        }
    }
    UdevRule rule;
    rule.text = header(settings_path);
    for (const UsbIds& ids : identities)
        rule.text += rule_lines(ids);
    if (!skipped.empty()) rule.text += skipped + "\n";
    rule.text += "LABEL=\"fwupgrade_end\"\n";
    rule.identities = static_cast<int>(identities.size());
    return rule;
}

// A rule that matches nothing is not printed, and the exit status keeps the install recipe from
// putting an empty rule in place of a working one.
int print_udev_rule(const std::string& path, std::FILE* out, std::FILE* err) {
    if (!std::ifstream(path)) {
        std::fprintf(err, "fwupgrade: cannot read %s\n", path.c_str());
        return 1;
    }
    std::string refusal;
    if (!check_settings_content(path, &refusal)) {
        std::fprintf(err, "fwupgrade: %s\n", refusal.c_str());
        return 1;
    }
    const UdevRule rule = make_udev_rule(path);
    if (rule.identities > 0) {
        std::fputs(rule.text.c_str(), out);
        return 0;
    }
    std::fprintf(err, "fwupgrade: %s names no USB device identifier ([id] idnum, diag%%d, ...)\n",
                 path.c_str());
    return 1;
}
