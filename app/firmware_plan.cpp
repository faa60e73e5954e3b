#include "app/firmware_plan.h"

#include <algorithm>

namespace {

using enum FirmwareRole;
using enum FirmwareShare;

// The status texts are the ones the user has always seen, the last one included: the image's
// own percentage replaces its "0%" as it streams.
constexpr FirmwareFile kFirmwarePlan[] = {
    {"NPRG6280.hex", Programmer, true, 0, "Loading download code...", Records},
    {"partition.mbn", Table, true, 0, "Downloading partition.mbn...", Blocks},
    {"qcsblhd_cfgdata.mbn", Image, false, 2, "Downloading qcsblhd_cfgdata.mbn...", Blocks},
    {"qcsbl.mbn", Image, false, 3, "Downloading qcsbl.mbn...", Blocks},
    {"oemsblhd.mbn", Header, false, 0, "Downloading oemsblhd.mbn...", Blocks},
    {"oemsbl.mbn", Image, false, 4, "Downloading oemsbl.mbn...", Blocks},
    {"amsshd.mbn", Header, true, 0, "Downloading amsshd.mbn...", Blocks},
    {"amss.mbn", Image, true, 5, "Downloading amss.mbn...0%", Blocks},
};

constexpr bool has_role(FirmwareRole role) {
    return std::any_of(std::begin(kFirmwarePlan), std::end(kFirmwarePlan),
                       [role](const FirmwareFile& file) { return file.role == role; });
}

// firmware_file below looks these up without a fallback.
static_assert(has_role(Programmer) && has_role(Table));

}  // namespace

std::span<const FirmwareFile> firmware_plan() {
    return kFirmwarePlan;
}

const FirmwareFile& firmware_file(FirmwareRole role) {
    return *std::find_if(std::begin(kFirmwarePlan), std::end(kFirmwarePlan),
                         [role](const FirmwareFile& file) { return file.role == role; });
}

bool is_firmware_file(const std::string& name, FirmwareRole role) {
    return name == firmware_file(role).name;
}

std::string deciding_firmware_names() {
    std::string names, last;
    for (const FirmwareFile& file : kFirmwarePlan) {
        if (!file.decides) continue;
        if (!last.empty()) names += (names.empty() ? "" : ", ") + last;
        last = file.name;
    }
    return names.empty() ? last : names + " and " + last;
}
