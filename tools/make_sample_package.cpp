// Writes a sample firmware package: settings.ini, the firmware folder VELMOR (flash programmer as
// Intel HEX, partition table, headers and images), a "home" tree with nested folders and ".link"
// files, and image.iso. Every byte is generated from fixed seeds, so two runs give the same
// package. The flash programmer's bytes are also written, as the device's memory should hold
// them, to expected/programmer.bin and expected/programmer.txt beside the package.
//
//   make_sample_package [--large] <folder> [key=value ...]
//
// --large makes a package of a realistic size, for measuring the whole road: a 64 MiB amss.mbn, a
// 32 MiB image.iso and 500 more home files of 1 to 64 KiB in 40 folders.
//
// settings.ini names the emulated device as the mocked USB device presents it in each mode (and its
// disk after the final reset); key=value pairs replace or add keys of its section [id].
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "discovery/instance_id.h"
#include "testbed/mocked_usb_device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The flash programmer is loaded here and started at its first byte.
constexpr std::uint32_t kProgrammerBase = 0x00800000;
constexpr std::size_t kProgrammerSize = 80 * 1024;  // crosses a 64 KiB boundary: two 04 records
constexpr std::size_t kHexRecordBytes = 32;

Bytes pseudo_random(std::size_t size, std::uint32_t seed) {
    Bytes out(size);
    std::uint32_t x = seed ? seed : 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 11);
    }
    return out;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// An instance identifier without its instance part: what a settings file lists.
std::string without_instance(const std::string& id) {
    return id.substr(0, id.rfind('\\'));
}

std::string port_prefix(const testbed::UsbIdentity& identity) {
    char number[16];
    UsbPortRecord port;
    std::snprintf(number, sizeof number, "%04x", identity.vendor_id);
    port.vendor_id = number;
    std::snprintf(number, sizeof number, "%04x", identity.product_id);
    port.product_id = number;
    std::snprintf(number, sizeof number, "%02x", identity.interface_number);
    port.interface_number = number;
    port.num_interfaces = std::to_string(identity.num_interfaces);
    return without_instance(port_instance_id(port));
}

std::string disk_prefix(const testbed::UsbDiskSpec& config) {
    UsbDiskRecord disk;
    disk.vendor = config.vendor;
    disk.model = config.model;
    disk.rev = config.rev;
    return without_instance(disk_instance_id(disk));
}

bool write_file(const std::string& path, const Bytes& data) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error) {
        std::fprintf(stderr, "cannot create the folder of %s: %s\n", path.c_str(),
                     error.message().c_str());
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

// One Intel HEX record: count, 16-bit offset, type, data, two's-complement checksum.
std::string hex_record(std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
                       std::size_t count) {
    std::string line = ":";
    char field[16];
    unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(field, sizeof field, "%02X%04X%02X", static_cast<unsigned>(count), offset, type);
    line += field;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(field, sizeof field, "%02X", data[i]);
        line += field;
        sum += data[i];
    }
    std::snprintf(field, sizeof field, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field + "\r\n";
}

// Data records follow each extended linear address (04) record from offset 0 without gaps, as the
// boot downloader stage writes them at a running address; the start linear address (05) record
// names the entry point.
std::string programmer_hex(const Bytes& code, std::uint32_t base) {
    std::string hex;
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::size_t at = 0; at < code.size(); at += kHexRecordBytes) {
        std::uint32_t address = base + static_cast<std::uint32_t>(at);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            std::uint8_t ela[2] = {static_cast<std::uint8_t>(upper >> 8),
                                   static_cast<std::uint8_t>(upper)};
            hex += hex_record(0x04, 0, ela, 2);
        }
        std::size_t count = std::min(kHexRecordBytes, code.size() - at);
        hex += hex_record(0x00, static_cast<std::uint16_t>(address & 0xFFFF), &code[at], count);
    }
    std::uint8_t start[4] = {static_cast<std::uint8_t>(base >> 24),
                             static_cast<std::uint8_t>(base >> 16),
                             static_cast<std::uint8_t>(base >> 8), static_cast<std::uint8_t>(base)};
    hex += hex_record(0x05, 0, start, 4);
    hex += hex_record(0x01, 0, nullptr, 0);
    return hex;
}

// A small partition table: magic, version, count, then name[16], first block, block count each.
Bytes partition_table() {
    Bytes table = text("FWPT");
    auto put32 = [&table](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            table.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    put32(1);
    struct Entry {
        const char* name;
        std::uint32_t first, count;
    } entries[] = {{"0:QCSBL", 0, 16},
                   {"0:OEMSBL", 16, 48},
                   {"0:AMSS", 64, 1536},
                   {"0:EFS2", 1600, 448},
                   {"0:FOTA", 2048, 64}};
    put32(sizeof entries / sizeof entries[0]);
    for (const Entry& e : entries) {
        char name[16] = {};
        std::strncpy(name, e.name, sizeof name - 1);
        table.insert(table.end(), name, name + sizeof name);
        put32(e.first);
        put32(e.count);
    }
    return table;
}

// A header of the image that follows it: magic, image size, load address, then filler.
Bytes image_header(std::uint32_t image_size, std::uint32_t load_address, std::uint32_t seed) {
    Bytes header = text("FWHD");
    for (std::uint32_t v : {image_size, load_address}) {
        for (int i = 0; i < 4; ++i)
            header.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    Bytes filler = pseudo_random(28, seed);
    header.insert(header.end(), filler.begin(), filler.end());
    return header;
}

// An ISO 9660 volume descriptor where a CD-ROM image has it, the rest generated.
Bytes iso_image(std::size_t size) {
    Bytes iso = pseudo_random(size, 0x150);
    const char descriptor[] =
        "\x01"
        "CD001"
        "\x01";
    std::memcpy(&iso[0x8000], descriptor, 7);
    std::memcpy(&iso[0x8028], "FWUPGRADE_SAMPLE", 16);
    return iso;
}

}  // namespace

struct Sizes {
    std::size_t amss = 1024 * 1024 + 300;
    std::size_t iso = 256 * 1024;
    int bulk_files = 0;  // home/bulk/dNN/fNNN, 1 to 64 KiB each
    int bulk_folders = 40;
};

// The bulk of a large package's home tree: sizes spread evenly over 1 to 64 KiB.
bool write_bulk(const std::string& home, const Sizes& sizes) {
    for (int i = 0; i < sizes.bulk_files; ++i) {
        const std::size_t size = 1024 + static_cast<std::size_t>(i) * 7919 % (63 * 1024 + 1);
        const std::string path = home + "/bulk/d" + std::to_string(i % sizes.bulk_folders) + "/f" +
                                 std::to_string(i) + ".bin";
        if (!write_file(path, pseudo_random(size, 1000 + static_cast<std::uint32_t>(i))))
            return false;
    }
    return true;
}

int main(int argc, char** argv) {
    const char* program = argv[0];
    Sizes sizes;
    if (argc >= 2 && std::strcmp(argv[1], "--large") == 0) {
        sizes = {64u << 20, 32u << 20, 500, 40};
        --argc;
        ++argv;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s [--large] <folder> [key=value ...]\n", program);
        return 2;
    }
    std::string root = argv[1];
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();

    const testbed::MockedUsbDeviceOptions device;
    std::map<std::string, std::string> id = {
        {"fw", "B002"},
        {"idnum", "1"},
        {"diag0", port_prefix(device.diag)},
        {"download0", port_prefix(device.dload)},
        {"savedownload0", port_prefix(device.stream)},
        {"mmc0", disk_prefix(device.disk)},
        {"reset", "0"},
    };
    std::vector<std::string> order = {"fw",   "idnum", "diag0", "download0", "savedownload0",
                                      "mmc0", "reset"};
    for (int i = 2; i < argc; ++i) {
        std::string pair = argv[i];
        std::size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "not a key=value pair: %s\n", argv[i]);
            return 2;
        }
        std::string key = pair.substr(0, eq);
        if (!id.count(key)) order.push_back(key);
        id[key] = pair.substr(eq + 1);
    }
    std::string settings = "; Sample firmware package for fwupgrade\r\n[id]\r\n";
    for (const std::string& key : order)
        settings += key + "=" + id[key] + "\r\n";

    const std::string fw = root + "/VELMOR/";
    Bytes programmer = pseudo_random(kProgrammerSize, 0x6280);
    Bytes qcsbl = pseudo_random(60 * 1024 + 100, 3);
    Bytes oemsbl = pseudo_random(200 * 1024 + 7, 4);
    Bytes amss = pseudo_random(sizes.amss, 5);
    char go[64];
    std::snprintf(go, sizeof go, "start 0x%08X\ngo 0x%08X\n", kProgrammerBase, kProgrammerBase);

    struct Output {
        std::string path;
        Bytes data;
    } outputs[] = {
        {root + "/settings.ini", text(settings)},
        {fw + "NPRG6280.hex", text(programmer_hex(programmer, kProgrammerBase))},
        {fw + "partition.mbn", partition_table()},
        {fw + "qcsblhd_cfgdata.mbn", pseudo_random(2 * 1024, 2)},
        {fw + "qcsbl.mbn", qcsbl},
        {fw + "oemsblhd.mbn",
         image_header(static_cast<std::uint32_t>(oemsbl.size()), 0x00100000, 40)},
        {fw + "oemsbl.mbn", oemsbl},
        {fw + "amsshd.mbn", image_header(static_cast<std::uint32_t>(amss.size()), 0x00200000, 50)},
        {fw + "amss.mbn", amss},
        {root + "/home/www/index.html",
         text("<html><head><title>Router</title></head><body>Welcome</body></html>\n")},
        {root + "/home/www/css/site.css", text("body { font-family: sans-serif; }\n")},
        {root + "/home/www/img/logo.bin", pseudo_random(3000, 7)},
        {root + "/home/etc/config/network",
         text("config interface 'lan'\n\toption proto 'static'\n")},
        {root + "/home/etc/config/wireless", text("config wifi-device 'radio0'\n")},
        {root + "/home/etc/banner", text("  fwupgrade sample package\n")},
        {root + "/home/bin/start.sh", text("#!/bin/sh\necho starting\n")},
        {root + "/home/data/blob.bin", pseudo_random(20000, 8)},
        // Link descriptions: the name tells link and target, the contents are never read.
        {root + "/home/sh_bin_busybox.link", text("link\n")},
        {root + "/home/www/cgi_usr_lib_cgi.link", text("link\n")},
        {root + "/home/etc/config/resolv_tmp_resolv.conf.link", text("link\n")},
        {root + "/image.iso", iso_image(sizes.iso)},
        {root + "/expected/programmer.bin", programmer},
        {root + "/expected/programmer.txt", text(go)},
    };
    for (const Output& out : outputs) {
        if (!write_file(out.path, out.data)) return 1;
    }
    if (!write_bulk(root + "/home", sizes)) return 1;
    std::printf("sample package written to %s\n", root.c_str());
    return 0;
}
