// The firmware package in the program folder, checked whole before anything goes to the device.
//
// A run that meets a bad package halfway has already changed the device: "/home" emptied, a
// partition table written. So everything a run will read is looked at first: settings.ini, the
// "home" tree, image.iso and the firmware folder VELMOR. The windowless run, Start in the dialog
// and --check all use this one check.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diag/home_tree.h"
#include "dload/hex_file.h"

// The firmware folder beside the program.
constexpr const char* kFirmwareFolder = "VELMOR";

struct PackageFile {
    std::string name;  // file name inside the firmware folder
    std::uint64_t size = 0;
};

struct Package {
    std::string folder;          // the program folder, with its trailing separator
    std::string target_version;  // [id] fw of settings.ini
    bool removes_router_conf = false;
    bool has_home = false;
    HomePlan home;
    bool has_iso = false;
    std::uint64_t iso_size = 0;
    // The firmware set: every file in the order it goes to the device; empty for a copy-only job.
    std::vector<PackageFile> firmware;
    HexSummary programmer;
    // SHA256SUMS was there, listed every file below and all of them matched.
    bool sealed = false;
    int sealed_files = 0;  // how many files it lists
    // Its paths and their digests: a file read again to be sent is judged by these, not by a
    // SHA256SUMS read again.
    std::map<std::string, std::string> digests;

    bool has_firmware() const { return !firmware.empty(); }
    // The size of a firmware file of the set; 0 when the set has no such file.
    std::uint64_t firmware_size(const std::string& name) const;
    // settings.ini names the version the package installs: fw is neither empty nor "0" (the
    // default of a package that does not say).
    bool names_version() const;
    // It names one, and a device's build version text contains it: the device runs it.
    bool installed_in(const std::string& build_version) const;
};

// Checks the package in folder (the program folder, with its trailing separator). True when a run
// can use it; otherwise *refusal names the file (relative to folder) and the reason. A package
// with SHA256SUMS is proven whole by it as well.
bool check_package(const std::string& folder, Package* package, std::string* refusal);

// The same check without SHA256SUMS: what --seal lists is what this finds.
bool check_package_files(const std::string& folder, Package* package, std::string* refusal);

// Every file of a checked package that a run reads, relative to its folder with '/' separators:
// settings.ini, the home tree's files (".link" files included), image.iso, the firmware set.
std::vector<std::string> package_files(const Package& package);
