// What the copy-to-device job achieves over a pseudo-terminal against the emulated modem, in KiB/s
// of file contents, for one large image and for a tree of many small files; beside it, the round
// trip of one 512-byte write exchange on the same line, the floor under every chunk.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/settings.h"
#include "copy/copy_job.h"
#include "diag/efs.h"
#include "emulator/emulator.h"
#include "link/attempts.h"
#include "link/device_line.h"
#include "link/exchange.h"
#include "link/hdlc.h"
#include "link/port_table.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = 4u << 20;
constexpr int kTreeFiles = 200;

void write_random(const fs::path& path, std::size_t size, std::mt19937& random) {
    fs::create_directories(path.parent_path());
    std::vector<char> data(size);
    for (auto& c : data)
        c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

// Two program folders (one with the image, one with the tree) and one emulated modem for all.
class Bench {
  public:
    Bench() {
        std::string pattern = (fs::temp_directory_path() / "copy-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        root_ = pattern;
        std::mt19937 random(7);
        write_random(root_ / "image" / "image.iso", kImageBytes, random);
        // Small files of 100 bytes to 4 KiB in ten folders, the kind of tree a web UI needs.
        std::uniform_int_distribution<std::size_t> size(100, 4096);
        for (int i = 0; i < kTreeFiles; ++i) {
            const std::size_t bytes = size(random);
            tree_bytes_ += bytes;
            write_random(root_ / "tree" / "home" / ("d" + std::to_string(i % 10)) /
                             ("f" + std::to_string(i)),
                         bytes, random);
        }

        emu::Options options;
        emulator_ = std::make_unique<emu::Emulator>(options);
        if (!emulator_->start() || !emulator_->wait_for(emu::Mode::Diag, std::chrono::seconds(10)))
            throw std::runtime_error("emulator");
        line.port_number = port_table_register(emulator_->device_node());
        line.port->Open(line.port_number);
    }
    ~Bench() {
        line.port->Close();
        emulator_->stop();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string folder(const char* name) const { return (root_ / name).string(); }
    std::size_t tree_bytes() const { return tree_bytes_; }
    int exchanges() const { return emulator_->request_count(emu::Mode::Diag, 0x4B, -1); }

    DeviceLine line;

  private:
    fs::path root_;
    std::size_t tree_bytes_ = 0;
    std::unique_ptr<emu::Emulator> emulator_;
};

Bench& bench() {
    static Bench instance;
    return instance;
}

void run_job(benchmark::State& state, const char* folder, std::size_t bytes) {
    const std::string package = with_separator(bench().folder(folder));
    const int before = bench().exchanges();
    for (auto _ : state) {
        int counter = 1;
        if (copy_file_to_device(bench().line, package, nullptr, &counter) != 1)
            state.SkipWithError("copy job failed");
    }
    state.counters["KiB/s"] = benchmark::Counter(
        static_cast<double>(bytes) / 1024.0 * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
    // Requests per job: a retry after a split or late answer shows up here.
    state.counters["exchanges"] =
        static_cast<double>(bench().exchanges() - before) / static_cast<double>(state.iterations());
}

void BM_CopyJobImage4MiB(benchmark::State& state) {
    run_job(state, "image", kImageBytes);
}

void BM_CopyJobTree200Files(benchmark::State& state) {
    run_job(state, "tree", bench().tree_bytes());
}

// One write request with 512 bytes of data and its answer: no retries, no verification.
void BM_RoundTrip512(benchmark::State& state) {
    bench();
    EfsHandle handle = {};
    if (!create_efs_file(bench().line, "/roundtrip.bin", handle)) {
        state.SkipWithError("create failed");
        return;
    }
    std::uint8_t request[12 + 512] = {0x4B, 0x13, 0x05, 0x00};
    std::copy(handle, handle + 4, request + 4);
    std::vector<std::uint8_t> answer(20000);
    const std::uint16_t crc = crc16_bits(request, static_cast<int>(sizeof(request)) * 8);
    for (auto _ : state) {
        if (!apply_diag_cmd(bench().line, request, sizeof(request), answer.data(), 20000, crc))
            state.SkipWithError("exchange failed");
    }
    close_efs_file(bench().line, handle);
    state.counters["KiB/s"] = benchmark::Counter(0.5 * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RoundTrip512)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CopyJobImage4MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CopyJobTree200Files)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
