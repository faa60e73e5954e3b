// Framing costs per request: a 512-byte image block is the common case, 64 KiB the worst one.
// Throughput is reported in bytes of packet per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "link/hdlc.h"

namespace {

std::vector<std::uint8_t> packet_of(std::int64_t size) {
    std::mt19937 random(42);
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(size));
    for (auto& b : packet)
        b = static_cast<std::uint8_t>(random());
    return packet;
}

void BM_Crc16(benchmark::State& state) {
    const auto packet = packet_of(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HdlcEncode(benchmark::State& state) {
    const auto packet = packet_of(state.range(0));
    const std::uint16_t crc = crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
    for (auto _ : state) {
        auto frame = hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc, true);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Each round decodes a fresh copy of the frame, as a receive buffer would hold it.
void BM_CheckBuf(benchmark::State& state) {
    const auto packet = packet_of(state.range(0));
    const std::uint16_t crc = crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
    const auto frame = hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc, false);
    std::vector<std::uint8_t> buffer(frame.size());
    for (auto _ : state) {
        std::copy(frame.begin(), frame.end(), buffer.begin());
        benchmark::DoNotOptimize(check_buf(buffer.data(), static_cast<int>(buffer.size())));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_Crc16)->Arg(512)->Arg(64 << 10);
BENCHMARK(BM_HdlcEncode)->Arg(512)->Arg(64 << 10);
BENCHMARK(BM_CheckBuf)->Arg(512)->Arg(64 << 10);

BENCHMARK_MAIN();
