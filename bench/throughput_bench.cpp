// The product against the line's ceiling, measured like with like in one run over
// pseudo-terminals:
//   (a) the ceiling: a bare client and a bare peer moving prepared frames of the product's sizes;
//   (b) the product's client streaming images with dl_dload_amss to that same bare peer, and to the
//       emulated flash programmer, whose own cost per block shows as the difference; the system
//       calls per block of the product and of the bare client, counted in this process;
//   (c) the product's EFS write and read exchanges against the bare peer and the emulated modem,
//       and the EFS copy of a 4 MiB image.iso and of a tree of 200 small files to the emulated
//       modem, its fixed pauses taken out;
//   (d) CRC-16 beside a byte-wise table reference;
// then the peak memory and CPU time of a process that streams a 1 MiB and a 256 MiB image, the
// targets, each a ratio with "met" or "NOT MET", the several-modem run (modems.cpp) and the whole
// road of a realistic package (road.cpp), each in a process of its own. The load
// average is printed at the start and the end. Figures are printed, never asserted; each is the
// best of at least --repeat runs (more for the small images and the single exchanges), ceiling and
// product taking turns so that both meet the same load.
//
//   throughput_bench [--quick] [--repeat N] [--csv FILE] [--only crc|stream|efs|memory]
//   throughput_bench --road [--quick]
//   throughput_bench --modems [--quick] [--repeat N] [--csv FILE]
//
// --quick streams images of up to 4 MiB (16 MiB for the memory figure) and repeats once: a check
// that everything runs, in seconds. --csv writes the streaming rows (bytes, ceiling MB/s, product
// MB/s, product on the emulated modem MB/s) for scripts/plot-throughput.sh. --only runs one
// section, for a profiler. --road runs only the whole road of a realistic package (road.cpp).
// --modems runs only the program upgrading 1, 2 and 4 emulated modems at once (modems.cpp), its
// rows going to the --csv file; the full run writes them beside its own, to FILE-modems.csv.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "bench/line_peer.h"
#include "bench/modems.h"
#include "bench/road.h"
#include "bench/thread_counts.h"
#include "copy/copy_job.h"
#include "diag/efs.h"
#include "diag/efs_transfer.h"
#include "diag/efs_wire.h"
#include "emulator/emulator.h"
#include "link/attempts.h"
#include "link/device_line.h"
#include "link/hdlc.h"
#include "link/port_table.h"
#include "stream/image_stream.h"
#include "stream/stream_commands.h"
#include "testbed/preload.h"

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;
using bench::Bytes;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::size_t kBlock = 512;
constexpr int kTreeFiles = 200;

struct Config {
    bool quick = false;
    bool road = false;
    bool modems = false;
    int repeat = 3;
    std::string csv;
    std::string only;  // one section alone (crc, stream, efs, memory), for a profiler; empty: all
    std::vector<std::uint64_t> sizes;  // streamed image sizes
    std::uint64_t large_memory_image = 256 * kMiB;
};

// --- Measuring

struct Timed {
    double wall_s = 0;
    double cpu_s = 0;          // the calling thread's user and system time
    double process_cpu_s = 0;  // every thread's: both ends of the line
};

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpu_s(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

// Wall time is what a user waits, but on a loaded machine it mostly measures how long the two ends
// wait for a core; the CPU time of both ends stays near what the exchanges cost.
template <class Work>
Timed timed(Work&& work) {
    const double thread = cpu_s(RUSAGE_THREAD);
    const double process = cpu_s(RUSAGE_SELF);
    const auto start = std::chrono::steady_clock::now();
    work();
    Timed t;
    t.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.cpu_s = cpu_s(RUSAGE_THREAD) - thread;
    t.process_cpu_s = cpu_s(RUSAGE_SELF) - process;
    return t;
}

// Keeps the shortest wall time and, apart from it, the least CPU time seen.
void keep_best(Timed* best, const Timed& t) {
    if (best->wall_s == 0 || t.wall_s < best->wall_s) best->wall_s = t.wall_s;
    if (best->cpu_s == 0 || t.cpu_s < best->cpu_s) best->cpu_s = t.cpu_s;
    if (best->process_cpu_s == 0 || t.process_cpu_s < best->process_cpu_s)
        best->process_cpu_s = t.process_cpu_s;
}

double mb_per_s(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

std::string size_text(std::uint64_t bytes) {
    return bytes >= kMiB ? std::to_string(bytes / kMiB) + " MiB"
                         : std::to_string(bytes / kKiB) + " KiB";
}

// --- Files

class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "throughput-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Pseudo-random bytes: flags and escapes turn up in them as in real firmware.
Bytes random_bytes(std::size_t size, std::uint32_t seed) {
    Bytes out(size);
    std::uint32_t x = seed | 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 11);
    }
    return out;
}

void write_file(const fs::path& path, std::uint64_t size, std::uint32_t seed) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    const std::size_t piece = 4 * kMiB;
    for (std::uint64_t done = 0; done < size; done += piece) {
        const Bytes data =
            random_bytes(static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - done)),
                         seed + static_cast<std::uint32_t>(done / piece));
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// An image that reads as zeros and takes no disk: enough where only memory is measured.
void write_sparse_file(const fs::path& path, std::uint64_t size) {
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, size);
}

// --- (a) The ceiling

constexpr std::uint8_t kStreamWrite = 0x07;
constexpr std::uint8_t kStreamClose = 0x15;

Bytes packet(std::uint8_t first, std::size_t size, std::uint32_t seed) {
    Bytes out = random_bytes(size, seed);
    out[0] = first;
    return out;
}

// The bare pair streaming an image: one stream write per block, the last one short (without data
// when the size is a multiple of 512, as the product sends it), then the close.
class StreamCeiling {
  public:
    StreamCeiling()
        : peer_(line_.master, bench::frame_of({0x08, 0, 0, 0, 0}, false)), client_(line_.slave) {
        for (std::uint32_t i = 0; i < 16; ++i)
            blocks_.push_back(bench::frame_of(packet(kStreamWrite, 5 + kBlock, i + 1), true));
        close_ = bench::frame_of({kStreamClose}, true);
    }
    Timed stream(std::uint64_t size) {
        const Bytes last = bench::frame_of(packet(kStreamWrite, 5 + size % kBlock, 99), true);
        return timed([&] {
            for (std::uint64_t i = 0; i < size / kBlock; ++i)
                client_.exchange(blocks_[i % blocks_.size()]);
            client_.exchange(last);
            client_.exchange(close_);
        });
    }

  private:
    bench::PtyPair line_;
    bench::BarePeer peer_;
    bench::BareClient client_;
    std::vector<Bytes> blocks_;
    Bytes close_;
};

// The bare pair making exchanges of one request size, as DIAG frames, the peer answering each
// with answer_frame.
class ExchangeCeiling {
  public:
    ExchangeCeiling(std::size_t request, Bytes answer_frame)
        : peer_(line_.master, std::move(answer_frame)), client_(line_.slave) {
        for (std::uint32_t i = 0; i < 16; ++i)
            frames_.push_back(bench::frame_of(packet(0x4B, request, 20 + i), false));
    }
    Timed run(int count) {
        return timed([&] {
            for (int i = 0; i < count; ++i)
                client_.exchange(frames_[static_cast<std::size_t>(i) % frames_.size()]);
        });
    }

  private:
    bench::PtyPair line_;
    bench::BarePeer peer_;
    bench::BareClient client_;
    std::vector<Bytes> frames_;
};

// --- (b) The product streaming

// Opens the line's port on a pseudo-terminal's slave side.
void open_port_on(DeviceLine& line, const std::string& node) {
    line.port->Close();
    line.port_number = port_table_register(node);
    line.port->Open(line.port_number);
}

std::unique_ptr<emu::Emulator> start_modem(emu::Mode mode) {
    emu::Options options;
    options.start_mode = mode;
    auto modem = std::make_unique<emu::Emulator>(options);
    if (!modem->start() || !modem->wait_for(mode, std::chrono::seconds(10)))
        throw std::runtime_error("the emulated modem did not start");
    return modem;
}

// The product's port on the line of a bare peer: the ceiling's own peer, answering every request
// with answer_frame (a streaming close with the close answer) at once and doing nothing else.
class BareLine {
  public:
    explicit BareLine(Bytes answer_frame) : peer_(pty_.master, std::move(answer_frame)) {
        open_port_on(line, pty_.slave_name);
    }
    ~BareLine() { close_port(line); }

  private:
    bench::PtyPair pty_;
    bench::BarePeer peer_;

  public:
    DeviceLine line;
};

// The stream write answer: its command and the offset, which the product does not judge.
Bytes stream_answer_frame() {
    return bench::frame_of({0x08, 0, 0, 0, 0}, false);
}

// The product's streaming of one image, timed, after the image's open where the peer wants one.
Timed stream_image(DeviceLine& line, const fs::path& image) {
    int streamed = 0;
    const Timed t = timed([&] { streamed = dl_dload_amss(line, image.c_str(), nullptr, nullptr); });
    if (!streamed) throw std::runtime_error("streaming failed");
    return t;
}

// The emulated flash programmer, greeted once; every image is opened as the run opens it.
class ModemStream {
  public:
    ModemStream() : modem_(start_modem(emu::Mode::Stream)) {
        open_port_on(line_, modem_->device_node());
        if (!send_dl_hello(line_))
            throw std::runtime_error("the flash programmer did not answer hello");
    }
    Timed stream(const fs::path& image) {
        open_port_on(line_, modem_->device_node());
        if (!send_multi_image_open(line_, nullptr, 2))
            throw std::runtime_error("image open refused");
        return stream_image(line_, image);
    }

  private:
    DeviceLine line_;
    std::unique_ptr<emu::Emulator> modem_;
};

template <class Work>
bench::ThreadCounts counts_of(Work&& work) {
    const bench::ThreadCounts before = bench::thread_counts();
    work();
    return bench::thread_counts() - before;
}

struct StreamRow {
    std::uint64_t size = 0;
    Timed ceiling;  // bare client, bare peer
    Timed product;  // the product's client, the same bare peer
    Timed modem;    // the product's client, the emulated flash programmer
};

// System calls per block of the bare client and of the product, both against the bare peer.
struct StreamCalls {
    std::uint64_t blocks = 0;
    bench::ThreadCounts ceiling, product;
};

// Small images go many times, in short turns of ceiling and product, so that a burst of other work
// on the machine spoils few of them: each size gets about as many blocks as four images of 4 MiB,
// in no fewer turns than asked for and no more than 40.
int rounds_for(const Config& config, std::uint64_t size) {
    const std::uint64_t rounds = config.repeat * std::max<std::uint64_t>(1, 4 * kMiB / size);
    return static_cast<int>(std::clamp<std::uint64_t>(rounds, config.repeat, 40));
}

struct StreamFigures {
    std::vector<StreamRow> rows;
    StreamCalls calls;
};

StreamFigures measure_streaming(const Config& config, const fs::path& folder) {
    StreamCeiling ceiling;
    BareLine bare(stream_answer_frame());
    ModemStream modem;
    StreamFigures f;
    for (std::uint64_t size : config.sizes) {
        const fs::path image = folder / ("image-" + std::to_string(size) + ".bin");
        write_file(image, size, static_cast<std::uint32_t>(size));
        StreamRow row;
        row.size = size;
        for (int r = 0; r < rounds_for(config, size); ++r) {
            keep_best(&row.ceiling, ceiling.stream(size));
            keep_best(&row.product, stream_image(bare.line, image));
            keep_best(&row.modem, modem.stream(image));
        }
        // The steady state: a run of 2048 blocks, whose start and end weigh little.
        if (size == kMiB) {
            f.calls.blocks = size / kBlock + 2;
            f.calls.ceiling = counts_of([&] { ceiling.stream(size); });
            f.calls.product = counts_of([&] { stream_image(bare.line, image); });
        }
        fs::remove(image);
        f.rows.push_back(row);
    }
    return f;
}

double ms_per_mib(double seconds, std::uint64_t bytes) {
    return seconds * 1e3 / (static_cast<double>(bytes) / kMiB);
}

void print_streaming(const StreamFigures& f) {
    std::printf("\n(a, b) Image streaming: 512-byte blocks, then the close; MB/s\n");
    std::printf("  %8s  %8s  %8s  %6s  %8s  %12s  %14s\n", "image", "ceiling", "product", "ratio",
                "on modem", "modem us/blk", "CPU ms/MiB p/c");
    for (const StreamRow& row : f.rows) {
        const double ceiling = mb_per_s(row.size, row.ceiling.wall_s);
        const double product = mb_per_s(row.size, row.product.wall_s);
        const double blocks = static_cast<double>(row.size / kBlock + 2);
        std::printf("  %8s  %8.2f  %8.2f  %6.2f  %8.2f  %12.1f  %7.2f/%-6.2f\n",
                    size_text(row.size).c_str(), ceiling, product, product / ceiling,
                    mb_per_s(row.size, row.modem.wall_s),
                    (row.modem.wall_s - row.product.wall_s) * 1e6 / blocks,
                    ms_per_mib(row.product.cpu_s, row.size),
                    ms_per_mib(row.ceiling.cpu_s, row.size));
    }
    std::printf(
        "  (product: the product's client against the ceiling's bare peer; on modem: the same "
        "against the\n   emulated flash programmer, whose own cost per block is modem us/blk; CPU: "
        "the product's thread\n   against the bare peer / the bare client's thread)\n");
    if (f.calls.blocks == 0) return;
    const auto per_block = [&](std::uint64_t n) { return static_cast<double>(n) / f.calls.blocks; };
    std::printf("  per block (1 MiB image), system calls: %6s  %6s  %6s  %6s;  allocations\n",
                "reads", "writes", "polls", "all");
    for (const auto& [who, c] :
         {std::pair{"bare client", f.calls.ceiling}, std::pair{"product", f.calls.product}})
        std::printf("    %-34s  %6.2f  %6.2f  %6.2f  %6.2f   %11.3f\n", who, per_block(c.reads),
                    per_block(c.writes), per_block(c.polls), per_block(c.syscalls()),
                    per_block(c.allocations));
}

void write_csv(const std::string& path, const std::vector<StreamRow>& rows) {
    std::ofstream out(path);
    out << "bytes,ceiling_mb_per_s,product_mb_per_s,modem_mb_per_s\n";
    for (const StreamRow& row : rows)
        out << row.size << ',' << mb_per_s(row.size, row.ceiling.wall_s) << ','
            << mb_per_s(row.size, row.product.wall_s) << ',' << mb_per_s(row.size, row.modem.wall_s)
            << '\n';
    if (!out) throw std::runtime_error("cannot write " + path);
}

// --- (c) EFS

// Per exchange, the best seen: a write with 512 bytes of data and its answer, a read request and
// its answer with 512 bytes, and the short requests and answers of the other operations.
struct PerExchange {
    double wall_us = 0;
    double cpu_us = 0;  // both ends
    void keep_best(const Timed& t, int count) {
        const double wall = t.wall_s * 1e6 / count;
        const double cpu = t.process_cpu_s * 1e6 / count;
        if (wall_us == 0 || wall < wall_us) wall_us = wall;
        if (cpu_us == 0 || cpu < cpu_us) cpu_us = cpu;
    }
};

struct EfsCeiling {
    PerExchange write, read, other;
};

// EFS requests the emulated modem took: all of them, writes and reads.
struct EfsCounts {
    int all = 0;
    int writes = 0;
    int reads = 0;
    EfsCounts operator-(const EfsCounts& o) const {
        return {all - o.all, writes - o.writes, reads - o.reads};
    }
};

struct EfsResult {
    Timed time;
    EfsCounts counts;
};

// An EFS answer as the device gives it: the request's header, then zeros (handle, offset, count,
// no error) up to 20 bytes, then data bytes. The bare peer and the ceiling's peer answer with it.
Bytes efs_answer_frame(std::uint16_t code, std::size_t data) {
    Bytes packet(20 + data);
    put_efs_header(packet.data(), code);
    const Bytes bytes = random_bytes(data + 1, 9);
    std::copy(bytes.begin() + 1, bytes.end(), packet.begin() + 20);
    return bench::frame_of(packet, false);
}

// The product's exchange as the copy makes it for every chunk of a file (efs_exchange into one
// large receive buffer), without the copy's reading of the local file and its pauses: a write
// request with 512 bytes of data, or a read request whose answer brings them.
class ChunkExchanges {
  public:
    static constexpr int kChunks = 64;

    // Write request: header, handle, offset, data.
    bool write(DeviceLine& line, const EfsHandle& handle) {
        std::uint8_t request[kEfsHeaderLength + 8 + kBlock];
        put_efs_header(request, kEfsWrite);
        std::memcpy(request + kEfsHeaderLength, handle, 4);
        const Bytes data = random_bytes(kBlock, 5);
        std::memcpy(request + kEfsHeaderLength + 8, data.data(), kBlock);
        return chunks(line, request, sizeof request, kEfsHeaderLength + 4);
    }
    // Read request: header, handle, byte count, offset.
    bool read(DeviceLine& line, const EfsHandle& handle) {
        std::uint8_t request[kEfsHeaderLength + 12];
        put_efs_header(request, kEfsRead);
        std::memcpy(request + kEfsHeaderLength, handle, 4);
        put_le32(request + kEfsHeaderLength + 4, kBlock);
        return chunks(line, request, sizeof request, kEfsHeaderLength + 8);
    }

  private:
    // One exchange per chunk, the chunk's offset written at offset_at.
    bool chunks(DeviceLine& line, std::uint8_t* request, int length, int offset_at) {
        for (std::uint32_t chunk = 0; chunk < kChunks; ++chunk) {
            put_le32(request + offset_at, chunk * kBlock);
            int packet = 0;
            if (efs_exchange(line, request, length, answer_.data(), kEfsLargeAnswer, &packet,
                             &dirty_) != 0)
                return false;
        }
        return true;
    }

    std::vector<std::uint8_t> answer_ = std::vector<std::uint8_t>(kEfsLargeAnswer);
    int dirty_ = 0;
};

// The product's chunk exchanges against the bare peer: one line answering writes, one reads.
class BareEfs {
  public:
    BareEfs()
        : writes_(efs_answer_frame(kEfsWrite, 0)), reads_(efs_answer_frame(kEfsRead, kBlock)) {}
    Timed write_chunks() {
        return checked([&] { return chunks_.write(writes_.line, handle_); });
    }
    Timed read_chunks() {
        return checked([&] { return chunks_.read(reads_.line, handle_); });
    }

  private:
    template <class Work>
    Timed checked(Work&& work) {
        bool ok = false;
        const Timed t = timed([&] { ok = work(); });
        if (!ok) throw std::runtime_error("an EFS exchange with the bare peer failed");
        return t;
    }

    BareLine writes_, reads_;
    ChunkExchanges chunks_;
    EfsHandle handle_ = {};
};

class ProductEfs {
  public:
    ProductEfs() : modem_(start_modem(emu::Mode::Diag)) {}

    EfsCounts counts() const {
        return {modem_->request_count(emu::Mode::Diag, 0x4B, -1),
                modem_->request_count(emu::Mode::Diag, 0x4B, kEfsWrite),
                modem_->request_count(emu::Mode::Diag, 0x4B, kEfsRead)};
    }
    // Opens the port and a device file of kChunks chunks, with a handle to write and one to read.
    void prepare() {
        open_port_on(line_, modem_->device_node());
        if (!create_efs_file(line_, "/bench.bin", writer_) ||
            !open_efs_file(line_, "/bench.bin", reader_))
            throw std::runtime_error("the device file could not be opened");
        write_chunks();
    }
    EfsResult write_chunks() {
        return measured([&] { return chunks_.write(line_, writer_); });
    }
    EfsResult read_chunks() {
        return measured([&] { return chunks_.read(line_, reader_); });
    }
    // The copy stage's whole job for a program folder: home/ and image.iso.
    EfsResult copy_job(const fs::path& folder) {
        open_port_on(line_, modem_->device_node());
        const std::string package = folder.string() + "/";
        return measured([this, &package] {
            int counter = 1;
            return copy_file_to_device(line_, package, nullptr, &counter) == 1;
        });
    }

  private:
    template <class Work>
    EfsResult measured(Work&& work) {
        const EfsCounts before = counts();
        bool ok = false;
        EfsResult r;
        r.time = timed([&] { ok = work(); });
        if (!ok) throw std::runtime_error("an EFS operation failed");
        r.counts = counts() - before;
        return r;
    }

    DeviceLine line_;
    std::unique_ptr<emu::Emulator> modem_;
    ChunkExchanges chunks_;
    EfsHandle writer_ = {};
    EfsHandle reader_ = {};
};

void keep_best(EfsResult* best, const EfsResult& r) {
    keep_best(&best->time, r.time);
    best->counts = r.counts;
}

// Small files of 100 bytes to 4 KiB in ten folders, the kind of tree a web interface needs.
std::uint64_t write_tree(const fs::path& home) {
    std::uint64_t total = 0;
    for (int i = 0; i < kTreeFiles; ++i) {
        const std::uint64_t bytes =
            100 + static_cast<std::uint64_t>(random_bytes(2, i + 5)[1]) * 15;
        write_file(home / ("d" + std::to_string(i % 10)) / ("f" + std::to_string(i)), bytes,
                   i + 300);
        total += bytes;
    }
    return total;
}

// The copy's own fixed pauses: 1 ms after each file written and each file read back.
double copy_pauses_s(int files) {
    return files * 2 * 1e-3;
}

struct EfsFigures {
    EfsCeiling ceiling;
    PerExchange write, read;  // the product against the bare peer
    EfsResult modem_write, modem_read, image_job, tree_job;
    // The bare pair making a job's exchanges in one run right after the job, so that both meet
    // the same load: a long run suffers more from other work on the machine than a short turn.
    Timed image_ceiling, tree_ceiling;
    std::uint64_t tree_bytes = 0;

    // The emulated modem's own cost of a job's writes and reads, in seconds.
    double modem_cost_s(const EfsCounts& c) const {
        const double per_write = modem_write.time.wall_s * 1e6 / modem_write.counts.all;
        const double per_read = modem_read.time.wall_s * 1e6 / modem_read.counts.all;
        return (c.writes * std::max(0.0, per_write - write.wall_us) +
                c.reads * std::max(0.0, per_read - read.wall_us)) /
               1e6;
    }
    // A copy job's ratio to its ceiling, the copy's pauses out and, if asked, the modem's cost.
    double job_ratio(const EfsResult& job, const Timed& ceiling_job, int files,
                     bool modem_out) const {
        const double own =
            job.time.wall_s - copy_pauses_s(files) - (modem_out ? modem_cost_s(job.counts) : 0);
        return ceiling_job.wall_s / own;
    }
};

// Ceiling and product take turns, exchange kind by exchange kind, in short turns: the exchanges
// alone go 64 at a time in twenty times as many rounds as the jobs. On a shared machine a burst of
// other work spoils a few turns, and the best of many short ones is what the line and the code
// can do.
EfsFigures measure_efs(const Config& config, const fs::path& folder) {
    const fs::path image = folder / "image" / "image.iso";
    write_file(image, 4 * kMiB, 4242);
    EfsFigures f;
    f.tree_bytes = write_tree(folder / "tree" / "home");
    ProductEfs modem;
    modem.prepare();
    BareEfs bare;
    ExchangeCeiling write(12 + kBlock, efs_answer_frame(kEfsWrite, 0)),
        read(16, efs_answer_frame(kEfsRead, kBlock)), other(40, efs_answer_frame(kEfsOpen, 0));
    auto ceiling_job = [&](const EfsCounts& c) {
        return timed([&] {
            write.run(c.writes);
            read.run(c.reads);
            other.run(c.all - c.writes - c.reads);
        });
    };
    constexpr int kCount = ChunkExchanges::kChunks;
    for (int r = 0; r < 20 * config.repeat; ++r) {
        f.ceiling.write.keep_best(write.run(kCount), kCount);
        f.write.keep_best(bare.write_chunks(), kCount);
        keep_best(&f.modem_write, modem.write_chunks());
        f.ceiling.read.keep_best(read.run(kCount), kCount);
        f.read.keep_best(bare.read_chunks(), kCount);
        keep_best(&f.modem_read, modem.read_chunks());
        f.ceiling.other.keep_best(other.run(kCount), kCount);
    }
    for (int r = 0; r < config.repeat; ++r) {
        keep_best(&f.image_job, modem.copy_job(folder / "image"));
        keep_best(&f.image_ceiling, ceiling_job(f.image_job.counts));
        keep_best(&f.tree_job, modem.copy_job(folder / "tree"));
        keep_best(&f.tree_ceiling, ceiling_job(f.tree_job.counts));
    }
    return f;
}

// Wall time per exchange and its ratio, then the ratio of the CPU time of both ends.
void print_exchange(const char* what, const PerExchange& product, const EfsResult& modem,
                    const PerExchange& ceiling) {
    const double modem_us = modem.time.wall_s * 1e6 / modem.counts.all;
    std::printf("  %-28s  %8.1f  %8.1f  %6.2f  %8.1f  %8.1f  %8.1f  %6.2f\n", what, ceiling.wall_us,
                product.wall_us, ceiling.wall_us / product.wall_us, modem_us,
                modem_us - product.wall_us, ceiling.cpu_us, ceiling.cpu_us / product.cpu_us);
}

void print_job(const char* what, std::uint64_t bytes, const EfsResult& r, const Timed& ceiling,
               const EfsFigures& f, int files) {
    std::printf("  %-24s  %8.3f  %6d %6d %6d  %12.3f  %6.2f  %6.2f  %6.2f\n", what,
                mb_per_s(bytes, r.time.wall_s), r.counts.writes, r.counts.reads,
                r.counts.all - r.counts.writes - r.counts.reads, mb_per_s(bytes, ceiling.wall_s),
                ceiling.wall_s / r.time.wall_s, f.job_ratio(r, ceiling, files, false),
                f.job_ratio(r, ceiling, files, true));
}

void print_efs(const EfsFigures& f) {
    std::printf("\n(c) EFS exchanges, us each       %8s  %8s  %6s  %8s  %8s  %8s  %6s\n", "ceiling",
                "product", "ratio", "on modem", "modem's", "CPU ceil", "ratio");
    print_exchange("write, 512 bytes of data", f.write, f.modem_write, f.ceiling.write);
    print_exchange("read back, 512 bytes of data", f.read, f.modem_read, f.ceiling.read);
    std::printf(
        "    (efs_exchange as the copy makes it per chunk, against the bare peer and the emulated "
        "modem;\n     short exchanges on the bare pair: %.1f us)\n",
        f.ceiling.other.wall_us);
    std::printf("(c) EFS copy jobs           %8s  %6s %6s %6s  %12s  %6s  %6s  %6s\n", "MB/s",
                "writes", "reads", "other", "ceiling MB/s", "ratio", "-pause", "-modem");
    print_job("image.iso, 4 MiB", 4 * kMiB, f.image_job, f.image_ceiling, f, 1);
    print_job("home/, 200 small files", f.tree_bytes, f.tree_job, f.tree_ceiling, f, kTreeFiles);
    std::printf(
        "    (to the emulated modem; ceiling: the bare pair making the job's exchanges in one run "
        "after it;\n     -pause: the ratio with the copy's own pauses taken out, 1 ms after each "
        "file written and\n     each read back; -modem: also the modem's own cost per write and "
        "read)\n");
}

// --- (d) CRC-16

// The byte-wise table loop of RFC 1662, its table computed here.
struct ReferenceCrc {
    ReferenceCrc() {
        for (unsigned b = 0; b < 256; ++b) {
            unsigned v = b;
            for (int k = 0; k < 8; ++k)
                v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
            table[b] = static_cast<std::uint16_t>(v);
        }
    }
    __attribute__((noinline)) std::uint16_t operator()(const std::uint8_t* data,
                                                       std::size_t n) const {
        std::uint16_t fcs = 0xFFFF;
        while (n--)
            fcs = static_cast<std::uint16_t>((fcs >> 8) ^ table[(fcs ^ *data++) & 0xFF]);
        return static_cast<std::uint16_t>(~fcs);
    }
    std::uint16_t table[256];
};

// The best of five rounds of about 20 ms each, in ns per byte.
template <class Crc>
double crc_ns_per_byte(const Crc& crc, const Bytes& data) {
    const int rounds = static_cast<int>(std::max<std::size_t>(1, (8u << 20) / data.size()));
    double best = 0;
    volatile std::uint16_t sink = 0;
    for (int r = 0; r < 5; ++r) {
        const Timed t = timed([&] {
            for (int i = 0; i < rounds; ++i)
                sink = static_cast<std::uint16_t>(sink + crc(data.data(), data.size()));
        });
        const double ns = t.wall_s * 1e9 / (static_cast<double>(rounds) * data.size());
        if (best == 0 || ns < best) best = ns;
    }
    return best;
}

struct CrcRow {
    std::size_t size;
    double reference_ns;
    double product_ns;
};

std::vector<CrcRow> measure_crc() {
    const ReferenceCrc reference;
    auto product = [](const std::uint8_t* data, std::size_t n) {
        return crc16_bits(data, static_cast<int>(n * 8));
    };
    std::vector<CrcRow> rows;
    for (std::size_t size : {kBlock + 5, std::size_t{64 * kKiB}}) {
        const Bytes data = random_bytes(size, 77);
        if (reference(data.data(), size) != product(data.data(), size))
            throw std::runtime_error("the CRC differs from the reference");
        // Interleaved, so that both meet the same load.
        CrcRow row{size, 0, 0};
        for (int r = 0; r < 3; ++r) {
            const double ref = crc_ns_per_byte(reference, data);
            const double own = crc_ns_per_byte(product, data);
            if (row.reference_ns == 0 || ref < row.reference_ns) row.reference_ns = ref;
            if (row.product_ns == 0 || own < row.product_ns) row.product_ns = own;
        }
        rows.push_back(row);
    }
    return rows;
}

void print_crc(const std::vector<CrcRow>& rows) {
    std::printf("\n(d) CRC-16                     %12s  %12s  %6s\n", "reference", "product",
                "ratio");
    for (const CrcRow& row : rows)
        std::printf("  %-6zu bytes, MB/s            %12.1f  %12.1f  %6.2f\n", row.size,
                    1e3 / row.reference_ns, 1e3 / row.product_ns,
                    row.reference_ns / row.product_ns);
}

}  // namespace

namespace {

// --- Peak memory

struct ProcessFigures {
    std::uint64_t size = 0;
    long peak_kib = 0;
    double cpu_s = 0;
    double wall_s = 0;
};

// The peak resident memory of this process image, in KiB. Not getrusage's: across exec that keeps
// the peak of the process that started this one.
long peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    long kib = 0;
    while (status >> word)
        if (word == "VmHWM:" && status >> kib) break;
    return kib;
}

// In the child: the product streams the image to the port and reports the process's peak memory,
// with the time and CPU time of the streaming itself.
int stream_child(const char* node, const char* image) {
    DeviceLine line;
    int streamed = 0;
    Timed t;
    try {
        open_port_on(line, node);
        t = timed([&] { streamed = dl_dload_amss(line, image, nullptr, nullptr); });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stream child: %s\n", e.what());
    }
    close_port(line);
    std::printf("%ld %.6f %.6f %d\n", peak_kib(), t.cpu_s, t.wall_s, streamed);
    return streamed ? 0 : 1;
}

// A process of its own, so that its peak memory is the product's alone; the bare peer plays the
// flash programmer, which keeps nothing of what it receives.
ProcessFigures stream_in_child(const fs::path& image, std::uint64_t size) {
    bench::PtyPair line;
    bench::BarePeer peer(line.master, bench::frame_of({0x08, 0, 0, 0, 0}, false));
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string self = "/proc/self/exe", flag = "--stream-child", node = line.slave_name,
                path = image.string();
    char* argv[] = {self.data(), flag.data(), node.data(), path.data(), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char piece[256];
    for (ssize_t n; (n = ::read(out[0], piece, sizeof piece)) > 0;)
        text.append(piece, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    if (failed || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error("the streaming process failed");
    ProcessFigures f;
    f.size = size;
    std::sscanf(text.c_str(), "%ld %lf %lf", &f.peak_kib, &f.cpu_s, &f.wall_s);
    return f;
}

std::vector<ProcessFigures> measure_memory(const Config& config, const fs::path& folder) {
    std::vector<ProcessFigures> rows;
    for (std::uint64_t size : {1 * kMiB, config.large_memory_image}) {
        const fs::path image = folder / "sparse.bin";
        write_sparse_file(image, size);
        rows.push_back(stream_in_child(image, size));
        fs::remove(image);
    }
    return rows;
}

void print_memory(const std::vector<ProcessFigures>& rows) {
    std::printf(
        "\nA process streaming one image (the product's code alone, the bare peer answering)\n");
    std::printf("  %8s  %14s  %12s  %10s\n", "image", "peak memory MB", "CPU ms/MiB", "MB/s");
    for (const ProcessFigures& f : rows)
        std::printf("  %8s  %14.1f  %12.2f  %10.2f\n", size_text(f.size).c_str(),
                    f.peak_kib * 1024.0 / 1e6, f.cpu_s * 1e3 / (static_cast<double>(f.size) / kMiB),
                    mb_per_s(f.size, f.wall_s));
}

// --- The run

bool read_config(int argc, char** argv, Config* config) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            config->quick = true;
            config->repeat = 1;
        } else if (arg == "--road") {
            config->road = true;
        } else if (arg == "--modems") {
            config->modems = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            config->repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            config->only = argv[++i];
        } else if (arg == "--csv" && i + 1 < argc) {
            config->csv = argv[++i];
        } else {
            return false;
        }
    }
    const std::uint64_t largest = config->quick ? 4 * kMiB : 64 * kMiB;
    for (std::uint64_t size = 64 * kKiB; size <= largest; size *= 4)
        config->sizes.push_back(size);
    if (config->quick) config->large_memory_image = 16 * kMiB;
    return true;
}

void print_load(const char* when) {
    double load[3] = {0, 0, 0};
    std::ifstream("/proc/loadavg") >> load[0] >> load[1] >> load[2];
    std::printf("load average %.2f %.2f %.2f at the %s\n", load[0], load[1], load[2], when);
}

void print_conditions(const Config& config) {
    std::printf(
        "fwupgrade against the line's ceiling over pseudo-terminals; best of %d; %ld cores; ",
        config.repeat, ::sysconf(_SC_NPROCESSORS_ONLN));
    print_load("start");
}

// Streaming at length: per block, neither end's cost depends on the image's size once it is past
// a few hundred blocks, so the best of every image of 1 MiB and more (each already the best of
// its runs) stands for the line at length. More samples make it less sensitive to a burst of
// other work on the machine than a single image's best.
struct SteadyStreaming {
    double ceiling_mb_s = 0;
    double product_mb_s = 0;
    double product_cpu_ms_per_mib = 0;
};

SteadyStreaming steady_streaming(const std::vector<StreamRow>& rows) {
    SteadyStreaming s;
    for (const StreamRow& row : rows) {
        if (row.size < kMiB) continue;
        s.ceiling_mb_s = std::max(s.ceiling_mb_s, mb_per_s(row.size, row.ceiling.wall_s));
        s.product_mb_s = std::max(s.product_mb_s, mb_per_s(row.size, row.product.wall_s));
        const double cpu = ms_per_mib(row.product.cpu_s, row.size);
        if (s.product_cpu_ms_per_mib == 0 || cpu < s.product_cpu_ms_per_mib)
            s.product_cpu_ms_per_mib = cpu;
    }
    return s;
}

void print_target(const char* what, double value, bool met) {
    std::printf("  %-60s %8.2f  %s\n", what, value, met ? "met" : "NOT MET");
}

void print_targets(const StreamFigures& stream, const EfsFigures& efs,
                   const std::vector<CrcRow>& crc) {
    const SteadyStreaming steady = steady_streaming(stream.rows);
    const double stream_ratio = steady.product_mb_s / steady.ceiling_mb_s;
    const double write_ratio = efs.ceiling.write.wall_us / efs.write.wall_us;
    const double read_ratio = efs.ceiling.read.wall_us / efs.read.wall_us;
    const double copy_ratio = efs.job_ratio(efs.image_job, efs.image_ceiling, 1, true);
    double crc_ratio = 0;
    for (const CrcRow& row : crc)
        crc_ratio = crc_ratio == 0 ? row.reference_ns / row.product_ns
                                   : std::min(crc_ratio, row.reference_ns / row.product_ns);
    std::printf(
        "\nTargets (the product against the bare peer; streaming: the best of the images of 1 MiB "
        "and more,\n %.2f MB/s on the bare pair, %.2f MB/s for the product)\n",
        steady.ceiling_mb_s, steady.product_mb_s);
    print_target("streaming, ratio to the ceiling (>= 0.90)", stream_ratio, stream_ratio >= 0.9);
    print_target("EFS write exchange, ratio to the ceiling (>= 0.85)", write_ratio,
                 write_ratio >= 0.85);
    print_target("EFS read exchange, ratio to the ceiling (>= 0.85)", read_ratio,
                 read_ratio >= 0.85);
    print_target("image.iso copy, ratio to the ceiling, pauses and modem out (>= 0.80)", copy_ratio,
                 copy_ratio >= 0.8);
    print_target("product CPU per MiB streamed, ms (<= 10)", steady.product_cpu_ms_per_mib,
                 steady.product_cpu_ms_per_mib <= 10);
    const std::uint64_t bare_calls = stream.calls.ceiling.syscalls();
    const double calls =
        bare_calls ? static_cast<double>(stream.calls.product.syscalls()) / bare_calls : 0;
    print_target("system calls per block streamed, product / bare client (<= 1.02)", calls,
                 calls <= 1.02);
    print_target("CRC-16, ratio to the reference (>= 0.95)", crc_ratio, crc_ratio >= 0.95);
}

// The ceiling the road's minima are reckoned with: the best of twenty short turns of each kind.
bench::RoadCeiling measure_road_ceiling() {
    StreamCeiling stream;
    ExchangeCeiling write(12 + kBlock, efs_answer_frame(kEfsWrite, 0)),
        read(16, efs_answer_frame(kEfsRead, kBlock)), other(40, efs_answer_frame(kEfsOpen, 0));
    PerExchange block, w, r, o;
    constexpr int kCount = ChunkExchanges::kChunks;
    for (int turn = 0; turn < 20; ++turn) {
        block.keep_best(stream.stream(kCount * kBlock), kCount + 2);
        w.keep_best(write.run(kCount), kCount);
        r.keep_best(read.run(kCount), kCount);
        o.keep_best(other.run(kCount), kCount);
    }
    std::printf(
        "ceiling on the bare pair, us each: stream block %.1f, EFS write %.1f, read %.1f, "
        "other %.1f\n",
        block.wall_us, w.wall_us, r.wall_us, o.wall_us);
    return {block.wall_us, w.wall_us, r.wall_us, o.wall_us};
}

constexpr const char* kRoadCeiling = "FWUP_ROAD_CEILING";

// The ceiling is measured before the process goes under the mocked bus's preload, whose wrappers
// of every read, write and wait would slow the bare pair as well; the process under the preload
// finds it in its environment.
int run_road(const Config& config, int argc, char** argv) {
    if (!testbed::under_preload()) {
        print_conditions(config);
        const bench::RoadCeiling c = measure_road_ceiling();
        char value[128];
        std::snprintf(value, sizeof value, "%.3f %.3f %.3f %.3f", c.stream_us_per_block,
                      c.efs_write_us, c.efs_read_us, c.efs_other_us);
        ::setenv(kRoadCeiling, value, 1);
        std::fflush(stdout);
        testbed::reexec_under_preload(argc, argv);
    }
    bench::RoadCeiling c;
    const char* value = std::getenv(kRoadCeiling);
    if (!value || std::sscanf(value, "%lf %lf %lf %lf", &c.stream_us_per_block, &c.efs_write_us,
                              &c.efs_read_us, &c.efs_other_us) != 4)
        throw std::runtime_error("the road's ceiling was not measured");
    const int status = bench::run_road(c, config.quick);
    std::printf("\n");
    print_load("end");
    return status;
}

// Like the road, the modems run under the mocked bus's preload, which the full run's own
// measurements must not: they run in a process of their own, their figures on this one's output.
int run_modems(const Config& config, int argc, char** argv) {
    if (!testbed::under_preload()) {
        std::printf("\n");
        print_load("start of the several-modem run");
        std::fflush(stdout);
        testbed::reexec_under_preload(argc, argv);
    }
    const int status = bench::run_modems(config.repeat, config.csv);
    std::printf("\n");
    print_load("end of the several-modem run");
    return status;
}

// Where the full run's --csv FILE puts the several-modem rows: FILE-modems.csv, ".csv" left out of
// FILE, as scripts/plot-throughput.sh looks for them.
std::string modems_csv_of(std::string csv) {
    const std::string suffix = ".csv";
    if (csv.size() >= suffix.size() &&
        csv.compare(csv.size() - suffix.size(), suffix.size(), suffix) == 0)
        csv.resize(csv.size() - suffix.size());
    return csv + "-modems.csv";
}

// The program itself again with args, as a child whose figures go to this one's output; its exit
// status.
int run_child(std::vector<std::string> args) {
    std::string self = "/proc/self/exe";
    std::vector<char*> argv = {self.data()};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid)
        throw std::runtime_error("the run of " + args.front() + " did not start");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int modems_in_child(const Config& config) {
    std::vector<std::string> args = {"--modems", "--repeat", std::to_string(config.repeat)};
    if (!config.csv.empty()) args.insert(args.end(), {"--csv", modems_csv_of(config.csv)});
    return run_child(args);
}

// The whole road comes last: a minute of the program against the emulated modem.
int road_in_child(const Config& config) {
    std::printf("\n");
    std::vector<std::string> args = {"--road"};
    if (config.quick) args.push_back("--quick");
    return run_child(args);
}

int run(const Config& config) {
    print_conditions(config);
    TempFolder folder;
    // The log is written as in a run: every line the product writes reaches a file.
    ::setenv("XDG_DOCUMENTS_DIR", folder.path().c_str(), 1);
    log_open();
    auto wanted = [&](const char* section) {
        return config.only.empty() || config.only == section;
    };
    std::vector<CrcRow> crc;
    StreamFigures stream;
    EfsFigures efs;
    if (wanted("crc")) print_crc(crc = measure_crc());
    std::fflush(stdout);
    if (wanted("stream")) print_streaming(stream = measure_streaming(config, folder.path()));
    std::fflush(stdout);
    if (wanted("efs")) print_efs(efs = measure_efs(config, folder.path()));
    std::fflush(stdout);
    if (wanted("memory")) print_memory(measure_memory(config, folder.path()));
    if (config.only.empty()) print_targets(stream, efs, crc);
    if (!config.csv.empty() && !stream.rows.empty()) write_csv(config.csv, stream.rows);
    log_close();
    // A several-modem run or a road that failed fails the benchmark: its figures would not be a
    // success's.
    int status = 0;
    if (config.only.empty()) {
        const int modems = modems_in_child(config);
        const int road = road_in_child(config);
        status = modems != 0 ? modems : road;
    }
    std::printf("\n");
    print_load("end");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--stream-child") == 0)
        return stream_child(argv[2], argv[3]);
    Config config;
    if (!read_config(argc, argv, &config)) {
        std::fprintf(stderr,
                     "usage: %s [--quick] [--repeat N] [--csv FILE] [--only SECTION] | --road "
                     "[--quick] | --modems [--quick] [--repeat N] [--csv FILE]\n",
                     argv[0]);
        return 2;
    }
    try {
        if (config.road) return run_road(config, argc, argv);
        return config.modems ? run_modems(config, argc, argv) : run(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "throughput_bench: %s\n", e.what());
        return 1;
    }
}
