// Image streaming and the EFS copy of one large file under umockdev's mocked USB bus, the way the
// end-to-end tests and the demo meet the emulated modem: the port is a mocked /dev/ttyUSBn whose
// ioctl calls the testbed may answer. Prints MB/s and the process's CPU time per 512-byte block.
//
//   mocked_bus_bench [STREAM_MIB [COPY_MIB]]     (default 32 and 4; at most 128 each)
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/efs_transfer.h"
#include "emulator/emulator.h"
#include "link/device_line.h"
#include "link/port_table.h"
#include "stream/image_stream.h"
#include "stream/stream_commands.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/preload.h"
#include "testbed/testbed.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBlock = 512;

struct Usage {
    double wall_s = 0;
    double user_s = 0;
    double system_s = 0;
};

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Wall time and the whole process's CPU time: the testbed's ioctl handler runs on a thread of its
// own in this process, so what the bus costs shows here too.
template <class Work>
Usage measure(Work&& work) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    ::getrusage(RUSAGE_SELF, &after);
    Usage u;
    u.wall_s = std::chrono::duration<double>(end - start).count();
    u.user_s = seconds_of(after.ru_utime) - seconds_of(before.ru_utime);
    u.system_s = seconds_of(after.ru_stime) - seconds_of(before.ru_stime);
    return u;
}

void report(const char* what, std::uint64_t bytes, std::uint64_t blocks, const Usage& u) {
    std::printf("%-34s %8.2f MB/s  %7.1f us user + %7.1f us system per block (%llu blocks)\n", what,
                static_cast<double>(bytes) / u.wall_s / 1e6, u.user_s * 1e6 / blocks,
                u.system_s * 1e6 / blocks, static_cast<unsigned long long>(blocks));
}

// Which way the mocked port's reads and writes go, as the preload list tells.
const char* mocked_port_io() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "mocked_port_io")
               ? "reads and writes straight to the line"
               : "reads and writes through the bus socket";
}

void write_image(const fs::path& path, std::uint64_t size) {
    fs::create_directories(path.parent_path());
    std::mt19937 random(11);
    std::vector<char> data(size);
    for (auto& c : data)
        c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

// The emulated modem in mode on a mocked port of its own, the line's port open on it.
std::unique_ptr<emu::Emulator> plug(DeviceLine& line, testbed::MockedUsbDevice& bus,
                                    emu::Mode mode) {
    emu::Options options;
    options.provider = &bus;
    options.start_mode = mode;
    auto device = std::make_unique<emu::Emulator>(options);
    if (!device->start() || !device->wait_for(mode, std::chrono::seconds(10)))
        throw std::runtime_error("the emulated modem did not start");
    line.port->Close();
    line.port_number = port_table_register(device->device_node());
    line.port->Open(line.port_number);
    return device;
}

void stream(DeviceLine& line, const fs::path& image, std::uint64_t size) {
    testbed::MockedUsbDevice bus;
    auto device = plug(line, bus, emu::Mode::Stream);
    if (!send_dl_hello(line) || !send_multi_image_open(line, nullptr, 2))
        throw std::runtime_error("the flash programmer did not open the image");
    int failed = 0;
    const Usage u =
        measure([&] { failed = !dl_dload_amss(line, image.c_str(), nullptr, nullptr); });
    if (failed) throw std::runtime_error("streaming failed");
    report(("streaming " + std::to_string(size >> 20) + " MiB (dl_dload_amss)").c_str(), size,
           size / kBlock + 1, u);
    line.port->Close();
}

void copy(DeviceLine& line, const fs::path& folder, std::uint64_t size) {
    testbed::MockedUsbDevice bus;
    auto device = plug(line, bus, emu::Mode::Diag);
    int counter = 1;
    int copied = 0;
    const std::string prefix = folder.string() + "/";
    const Usage u = measure([&] { copied = copy_iso(line, prefix.c_str(), nullptr, &counter); });
    if (!copied) throw std::runtime_error("the EFS copy failed");
    // Written, then read back: two exchanges per block.
    report(("EFS copy of " + std::to_string(size >> 20) + " MiB (copy_iso)").c_str(), size,
           2 * (size / kBlock + 1), u);
    line.port->Close();
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    testbed::Testbed::instance();
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 32;
    const long copy_mib = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 4;
    if (mib < 1 || mib > 128 || copy_mib < 1 || copy_mib > 128) {
        std::fprintf(stderr, "usage: %s [STREAM_MIB [COPY_MIB]], 1 to 128 each\n", argv[0]);
        return 2;
    }
    std::string pattern = (fs::temp_directory_path() / "mocked-bus-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path root = pattern;
    const std::uint64_t size = static_cast<std::uint64_t>(mib) << 20;
    const std::uint64_t copy_size = static_cast<std::uint64_t>(copy_mib) << 20;
    DeviceLine line;
    int status = 0;
    try {
        write_image(root / "image.bin", size);
        write_image(root / "copy" / "image.iso", copy_size);
        std::printf("Under the mocked USB bus (%s):\n", mocked_port_io());
        stream(line, root / "image.bin", size);
        copy(line, root / "copy", copy_size);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mocked_bus_bench: %s\n", e.what());
        status = 1;
    }
    close_port(line);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return status;
}
