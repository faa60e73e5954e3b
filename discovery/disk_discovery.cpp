#include "discovery/disk_discovery.h"

#include <cstdio>

#include "base/settings.h"
#include "discovery/device_list.h"

namespace {

// The keys mmc0 .. mmc19 name the device's disk.
constexpr int kMmcKeys = 20;

}  // namespace

std::vector<std::string> listed_disk_identifiers(const std::string& path) {
    std::vector<std::string> items;
    for (int i = 0; i < kMmcKeys; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "mmc%d", i);
        char prefix[kPathBuffer];
        get_profile_string("id", key, "", prefix, sizeof prefix, path);
        if (prefix[0] != '\0') items.push_back(std::string(key) + "=" + prefix);
    }
    return items;
}

int find_mmc_disk(const std::string& path, const std::string& location, LogSink& log) {
    std::optional<std::vector<DiskDevice>> disks = list_present_disks();
    if (!disks) return 0;
    // The settings file is read again for every disk: nothing is cached.
    for (const DiskDevice& disk : *disks) {
        if (!location.empty() && !disk.location.empty() && disk.location != location) continue;
        const std::string& id = disk.instance_id;
        for (int i = 0; i < kMmcKeys; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "mmc%d", i);
            char prefix[kPathBuffer];
            get_profile_string("id", key, "", prefix, sizeof prefix, path);
            if (prefix[0] == '\0') continue;
            log.write("Finding mmc %s....\n", prefix);
            if (id.compare(0, std::string(prefix).size(), prefix) == 0) {
                log.write("Found match mmc %s OK!!!\n", id.c_str());
                return 1;
            }
            log.write("Error: Find mmc %s fail.\n", prefix);
        }
    }
    return 0;
}
