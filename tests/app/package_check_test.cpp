// The package check on the sample package and on packages that lost or broke a file.
#include "app/package_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "app/package_sums.h"
#include "tests/app/program_run.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

struct Checked {
    bool usable = false;
    Package package;
    std::string refusal;
};

Checked check(const PackageDir& dir) {
    Checked out;
    out.usable = check_package(dir.path() + "/", &out.package, &out.refusal);
    return out;
}

// A file of that size that takes no room on the disk.
void make_sparse(const std::string& path, std::uintmax_t size) {
    { std::ofstream create(path); }
    fs::resize_file(path, size);
}

TEST(PackageCheck, SamplePackageIsUsableAndDescribedWhole) {
    PackageDir dir({"fw=B002"});
    const Checked c = check(dir);
    ASSERT_TRUE(c.usable) << c.refusal;
    EXPECT_EQ(c.package.target_version, "B002");
    EXPECT_FALSE(c.package.removes_router_conf);
    EXPECT_TRUE(c.package.has_home);
    EXPECT_GE(c.package.home.files, 5);
    EXPECT_EQ(c.package.home.links, 3);
    EXPECT_TRUE(c.package.has_iso);
    EXPECT_EQ(c.package.iso_size, fs::file_size(dir.file("image.iso")));
    ASSERT_EQ(c.package.firmware.size(), 8u);
    EXPECT_EQ(c.package.firmware.front().name, "NPRG6280.hex");
    EXPECT_EQ(c.package.firmware.back().name, "amss.mbn");
    EXPECT_EQ(c.package.firmware_size("amss.mbn"), fs::file_size(dir.file("VELMOR/amss.mbn")));
    EXPECT_EQ(c.package.programmer.lowest, 0x00800000u);
    EXPECT_EQ(c.package.programmer.go_address, 0x00800000u);
    EXPECT_EQ(c.package.programmer.data_bytes, fs::file_size(dir.file("expected/programmer.bin")));
}

// The settings check's limits are usable: nine characters of fw, one identifier of each kind.
TEST(PackageCheck, SettingsAtTheirLimitsAreUsable) {
    PackageDir dir({"fw=B002-1234", "idnum=1", "savedownload0="});
    const Checked c = check(dir);
    ASSERT_TRUE(c.usable) << c.refusal;
    EXPECT_EQ(c.package.target_version, "B002-1234");
}

TEST(PackageCheck, WithoutAnyOfTheDecidingFilesItIsACopyOnlyJob) {
    PackageDir dir({"reset=1"});
    for (const char* name : {"NPRG6280.hex", "partition.mbn", "amsshd.mbn", "amss.mbn"})
        dir.remove(std::string("VELMOR/") + name);
    Checked c = check(dir);
    ASSERT_TRUE(c.usable) << c.refusal;
    EXPECT_FALSE(c.package.has_firmware());
    EXPECT_TRUE(c.package.removes_router_conf);

    // Removing "/router.conf" is work enough on its own.
    dir.remove("home");
    dir.remove("image.iso");
    dir.remove("VELMOR");
    c = check(dir);
    EXPECT_TRUE(c.usable) << c.refusal;
}

struct Broken {
    const char* name;
    std::function<void(const PackageDir&)> damage;
    std::string refusal;
};
void PrintTo(const Broken& b, std::ostream* os) {
    *os << b.name;
}

class BrokenPackage : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenPackage, IsRefusedNamingTheFileAndTheReason) {
    PackageDir dir({});
    GetParam().damage(dir);
    const Checked c = check(dir);
    EXPECT_FALSE(c.usable);
    std::string expected = GetParam().refusal;
    if (expected.ends_with(" from ")) expected += dir.path() + "/";
    EXPECT_EQ(c.refusal, expected);
}

void write(const PackageDir& dir, const std::string& name, const std::string& content) {
    dir.write(name, content);
}

// The sample settings with key set to value, every other line kept.
void set_key(const PackageDir& dir, const std::string& key, const std::string& value) {
    std::string text = dir.read("settings.ini");
    const std::size_t at = text.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    const std::size_t start = at + key.size() + 2;
    text.replace(start, text.find('\r', start) - start, value);
    dir.write("settings.ini", text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenPackage,
    ::testing::Values(
        Broken{"NoSettings", [](auto& d) { d.remove("settings.ini"); },
               "settings.ini: missing from "},
        Broken{"SettingsIsAFolder",
               [](auto& d) {
                   d.remove("settings.ini");
                   fs::create_directory(d.file("settings.ini"));
               },
               "settings.ini: not a regular file"},
        Broken{"SettingsInUtf16",
               [](auto& d) { write(d, "settings.ini", std::string("\xFF\xFE[\0i\0d\0]\0", 10)); },
               "settings.ini: a NUL byte at offset 3, so it is not plain text (save it as UTF-8, "
               "not UTF-16)"},
        Broken{
            "SettingsWithoutIdnum",
            [](auto& d) {
                write(
                    d, "settings.ini",
                    "[id]\r\ndiag0=USB\\VID_05C6&PID_9003\r\ndownload0=USB\\VID_05C6&PID_9100\r\n");
            },
            "settings.ini: idnum is 0, so no port of the device can be found"},
        Broken{"IdnumNotANumber", [](auto& d) { set_key(d, "idnum", "one"); },
               "settings.ini: idnum is 0, so no port of the device can be found"},
        Broken{"IdnumNegative", [](auto& d) { set_key(d, "idnum", "-2"); },
               "settings.ini: idnum is -2, so no port of the device can be found"},
        Broken{"EmptyDiag0", [](auto& d) { set_key(d, "diag0", ""); },
               "settings.ini: diag0 is empty, so the port of the device in normal mode is not "
               "named"},
        Broken{"EmptyDownload0", [](auto& d) { set_key(d, "download0", ""); },
               "settings.ini: download0 is empty, so the port of the device in download mode is "
               "not named"},
        Broken{"TargetVersionOfTenCharacters", [](auto& d) { set_key(d, "fw", "B002-12345"); },
               "settings.ini: fw is longer than 9 characters, so the target version would be cut "
               "short"},
        Broken{"FirmwareSetWithOnlyTheProgrammer",
               [](auto& d) {
                   for (const char* name : {"partition.mbn", "amsshd.mbn", "amss.mbn"})
                       d.remove(std::string("VELMOR/") + name);
               },
               "VELMOR: the firmware set is incomplete: partition.mbn, amsshd.mbn, amss.mbn "
               "missing beside NPRG6280.hex"},
        Broken{"EmptyPartitionTable", [](auto& d) { write(d, "VELMOR/partition.mbn", ""); },
               "VELMOR/partition.mbn: empty"},
        Broken{"EmptyHeader", [](auto& d) { write(d, "VELMOR/oemsblhd.mbn", ""); },
               "VELMOR/oemsblhd.mbn: empty"},
        Broken{"ImageIsAFolder",
               [](auto& d) {
                   d.remove("VELMOR/oemsbl.mbn");
                   fs::create_directory(d.file("VELMOR/oemsbl.mbn"));
               },
               "VELMOR/oemsbl.mbn: not a regular file"},
        Broken{"ImageOver4GiB",
               [](auto& d) { make_sparse(d.file("VELMOR/amss.mbn"), (1ull << 32) + 1); },
               "VELMOR/amss.mbn: larger than 4 GiB"},
        Broken{"ProgrammerWithoutData", [](auto& d) { write(d, "VELMOR/NPRG6280.hex", ""); },
               "VELMOR/NPRG6280.hex: no data record"},
        Broken{"ProgrammerWithABlankLine",
               [](auto& d) {
                   std::string hex = d.read("VELMOR/NPRG6280.hex");
                   write(d, "VELMOR/NPRG6280.hex", hex.insert(hex.find('\n') + 1, "\r\n"));
               },
               "VELMOR/NPRG6280.hex: line 2: blank line before the last record"},
        Broken{"IsoIsAFolder",
               [](auto& d) {
                   d.remove("image.iso");
                   fs::create_directory(d.file("image.iso"));
               },
               "image.iso: not a regular file"},
        Broken{"HomeIsAFile",
               [](auto& d) {
                   d.remove("home");
                   write(d, "home", "x");
               },
               "home: not a folder"},
        Broken{"HomePathTooLongForTheDevice",
               [](auto& d) {
                   const std::string folder = "home/" + std::string(120, 'a');
                   fs::create_directory(d.file(folder));
                   write(d, folder + "/" + std::string(120, 'b'), "x");
               },
               "home/" + std::string(120, 'a') + "/" + std::string(120, 'b') +
                   ": path too long for the device"},
        Broken{"LinkTargetTooLongForTheDevice",
               [](auto& d) { write(d, "home/x_" + std::string(245, 'a') + ".link", ""); },
               "home/x_" + std::string(245, 'a') +
                   ".link: link path and target too long for the device"},
        Broken{"HomeFileOver4GiB",
               [](auto& d) { make_sparse(d.file("home/big.bin"), (1ull << 32) + 1); },
               "home/big.bin: larger than 4 GiB"},
        Broken{"NothingToDo",
               [](auto& d) {
                   d.remove("home");
                   d.remove("image.iso");
                   d.remove("VELMOR");
               },
               "nothing to do: no home folder, no image.iso and no firmware in VELMOR"}),
    [](const auto& info) { return std::string(info.param.name); });

// SHA256SUMS as sha256sum writes it, in text or binary mode, proves the package whole.
TEST(PackageCheck, SealedPackageIsProvenWholeWhateverModeTheSumsWereWrittenIn) {
    PackageDir dir({});
    EXPECT_FALSE(check(dir).package.sealed);
    dir.seal();
    Checked c = check(dir);
    ASSERT_TRUE(c.usable) << c.refusal;
    EXPECT_TRUE(c.package.sealed);
    EXPECT_EQ(c.package.sealed_files, static_cast<int>(package_files(c.package).size()));
    EXPECT_EQ(c.package.sealed_files, 1 + c.package.home.files + c.package.home.links + 1 + 8);

    std::string sums = dir.read(kSumsFile);
    for (std::size_t at = sums.find("  "); at != std::string::npos; at = sums.find("  ", at))
        sums.replace(at, 2, " *");
    dir.write(kSumsFile, "# written in binary mode\n" + sums);
    c = check(dir);
    EXPECT_TRUE(c.usable) << c.refusal;
}

class BrokenSeal : public ::testing::TestWithParam<Broken> {};

// Whatever changed after the package was sealed, and whatever is wrong with SHA256SUMS itself,
// refuses the package before a run sends anything.
TEST_P(BrokenSeal, IsRefusedNamingTheFileAndTheReason) {
    PackageDir dir({});
    dir.seal();
    GetParam().damage(dir);
    const Checked c = check(dir);
    EXPECT_FALSE(c.usable);
    EXPECT_EQ(c.refusal, GetParam().refusal);
}

void prepend_sum(const PackageDir& dir, const std::string& line) {
    write(dir, kSumsFile, line + "\n" + dir.read(kSumsFile));
}

const std::string kSomeDigest(64, '0');

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenSeal,
    ::testing::Values(
        Broken{"CutImage",
               [](auto& d) {
                   const std::string image = d.file("VELMOR/amss.mbn");
                   fs::resize_file(image, fs::file_size(image) / 2);
               },
               "VELMOR/amss.mbn: damaged or cut: its SHA-256 is not the one in SHA256SUMS"},
        Broken{"ChangedSettings",
               [](auto& d) { write(d, "settings.ini", d.read("settings.ini") + "\n"); },
               "settings.ini: damaged or cut: its SHA-256 is not the one in SHA256SUMS"},
        Broken{"ListedFileMissing", [](auto& d) { d.remove("image.iso"); },
               "image.iso: listed in SHA256SUMS but missing"},
        Broken{"UnlistedHomeFile", [](auto& d) { write(d, "home/new.txt", "x"); },
               "home/new.txt: not listed in SHA256SUMS"},
        Broken{"UnlistedLinkFile", [](auto& d) { write(d, "home/ls_bin_busybox.link", ""); },
               "home/ls_bin_busybox.link: not listed in SHA256SUMS"},
        Broken{"EmptySums", [](auto& d) { write(d, kSumsFile, ""); },
               "settings.ini: not listed in SHA256SUMS"},
        Broken{"MalformedLine", [](auto& d) { prepend_sum(d, kSomeDigest + " settings.ini"); },
               "SHA256SUMS: line 1: not a line as sha256sum writes it"},
        Broken{"AbsolutePath", [](auto& d) { prepend_sum(d, kSomeDigest + "  /etc/hostname"); },
               "/etc/hostname: an absolute path in SHA256SUMS (line 1)"},
        Broken{"DotDotComponent",
               [](auto& d) { prepend_sum(d, kSomeDigest + "  home/../settings.ini"); },
               "home/../settings.ini: a '..' component in SHA256SUMS (line 1)"},
        Broken{"ListedTwice", [](auto& d) { prepend_sum(d, kSomeDigest + "  ./settings.ini"); },
               "settings.ini: listed twice in SHA256SUMS (lines 1 and 2)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
