#include "bench/road.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/package_run.h"
#include "diag/efs_wire.h"
#include "emulator/emulator.h"
#include "testbed/mocked_usb_device.h"

namespace bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The program's fixed pauses on the road (its product durations), in seconds.
constexpr double kStepPause = 0.001;       // between steps, and after each file copied
constexpr double kFirstSearchAfter = 2.0;  // after the switch: 1000 ms, then 1000 ms per pass
constexpr double kSearchPass = 1.0;        // between the searches for the flash programmer
constexpr double kReturnPoll = 0.05;       // polls for the device's return after the reset
constexpr int kStreamSteps = 8;            // 1 ms pauses of the streaming stage
constexpr int kDiagSubsystem = 0x4B;
constexpr int kDloadWrite = 0x0F;
constexpr double kBlockBytes = 512;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Event {
    double at_s;  // since the run started
    emu::Change::Kind kind;
    emu::Mode mode;
};

// The device's moves after the run started, in order.
class Moves {
  public:
    void started() { start_ = Clock::now(); }
    void record(const emu::Change& change) {
        std::lock_guard hold(lock_);
        events_.push_back({seconds(Clock::now() - start_), change.kind, change.mode});
    }
    // When the device next did kind in mode, after position *from; moves *from past it.
    double next(emu::Change::Kind kind, emu::Mode mode, std::size_t* from) const {
        std::lock_guard hold(lock_);
        for (; *from < events_.size(); ++*from)
            if (events_[*from].kind == kind && events_[*from].mode == mode)
                return events_[(*from)++].at_s;
        throw std::runtime_error("the device did not move as an upgrade moves it");
    }

  private:
    Clock::time_point start_ = Clock::now();
    mutable std::mutex lock_;
    std::vector<Event> events_;
};

// The firmware's streamed bytes: the partition table and the four images.
std::uint64_t streamed_bytes(const fs::path& fw) {
    std::uint64_t total = 0;
    for (const char* name :
         {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsbl.mbn", "amss.mbn"})
        total += fs::file_size(fw / name);
    return total;
}

// The program's own account of its stages from its log, with the searches for the programmer
// that found a port which did not answer (each waits out the hello's attempts).
void print_log_stages(const std::string& log) {
    std::printf("  the program's log:\n");
    std::size_t at = 0;
    for (std::size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = log.substr(at, end - at);
        if (line.find("stage ends: ") != std::string::npos ||
            line.find("close dl port") != std::string::npos)
            std::printf("    %s\n", line.c_str());
    }
}

struct Stage {
    const char* name;
    double took_s;
    double minimum_s;
};

void print_stages(const std::vector<Stage>& stages, double run_s) {
    std::printf("\n  %-44s  %9s  %9s  %6s\n", "stage", "took s", "minimum s", "ratio");
    double sum = 0;
    for (const Stage& s : stages) {
        std::printf("  %-44s  %9.2f  %9.2f  %6.2f\n", s.name, s.took_s, s.minimum_s,
                    s.minimum_s > 0 ? s.took_s / s.minimum_s : 0.0);
        sum += s.minimum_s;
    }
    const double ratio = run_s / sum;
    std::printf("  %-44s  %9.2f  %9.2f  %6.2f\n", "the whole run", run_s, sum, ratio);
    std::printf("\nTarget\n  %-60s %8.2f  %s\n", "the whole road, ratio to its minimum (<= 1.15)",
                ratio, ratio <= 1.15 ? "met" : "NOT MET");
}

// How long the program waits past the device's return when it searches first_s after the device
// left, then every pass_s: nothing when a search falls right on the return.
double late_by(double away_s, double first_s, double pass_s) {
    if (away_s <= first_s) return first_s - away_s;
    return std::ceil((away_s - first_s) / pass_s) * pass_s + first_s - away_s;
}

// A run of the program against the emulated modem, and what the modem saw.
struct RoadRun {
    int status = -1;
    double run_s = 0;
    bool holds_package = false;
    int efs_all = 0, efs_writes = 0, efs_reads = 0;
    int dload_writes = 0;  // the programmer's records, one exchange each
    Moves moves;
};

void run_against_modem(const fs::path& folder, const fs::path& package, RoadRun* run) {
    testbed::MockedUsbDeviceOptions usb;
    usb.disk_after_reset = true;
    testbed::MockedUsbDevice bus(usb);
    emu::Options options;
    options.provider = &bus;
    options.efs_capacity = 256u << 20;
    emu::Emulator device(options);
    device.on_change([run](const emu::Change& change) { run->moves.record(change); });
    if (!device.start()) throw std::runtime_error("the emulated modem did not start");
    run->moves.started();
    const Clock::time_point start = Clock::now();
    run->status = run_in(package, package / "fwupgrade", {"run"});
    run->run_s = seconds(Clock::now() - start);
    device.wait_finished(std::chrono::seconds(30));
    const fs::path dumps = folder / "dumps";
    run->holds_package = device.dump_efs((dumps / "efs").string()) &&
                         device.dump_flash((dumps / "flash").string()) &&
                         holds_package(package, dumps);
    run->efs_all = device.request_count(emu::Mode::Diag, kDiagSubsystem, -1);
    run->efs_writes = device.request_count(emu::Mode::Diag, kDiagSubsystem, kEfsWrite);
    run->efs_reads = device.request_count(emu::Mode::Diag, kDiagSubsystem, kEfsRead);
    run->dload_writes = device.request_count(emu::Mode::Dload, kDloadWrite);
    device.stop();
}

// Each stage's time beside its minimum, from the device's moves: it leaves DIAG at the switch,
// the boot downloader leaves when the programmer starts, the programmer leaves at the reset.
std::vector<Stage> stages_of(const RoadRun& run, const RoadCeiling& c, const fs::path& package) {
    using K = emu::Change::Kind;
    std::size_t at = 0;
    const double switched = run.moves.next(K::Left, emu::Mode::Diag, &at);
    const double in_dload = run.moves.next(K::Arrived, emu::Mode::Dload, &at);
    const double started = run.moves.next(K::Left, emu::Mode::Dload, &at);
    const double in_stream = run.moves.next(K::Arrived, emu::Mode::Stream, &at);
    const double reset = run.moves.next(K::Left, emu::Mode::Stream, &at);
    const double back = run.moves.next(K::Arrived, emu::Mode::Diag, &at);
    int files = 0;
    std::uint64_t copied = 0;
    copied_files(package, nullptr, &files, &copied);
    const double other = run.efs_all - run.efs_writes - run.efs_reads;
    const double copy_min =
        (run.efs_writes * c.efs_write_us + run.efs_reads * c.efs_read_us + other * c.efs_other_us) /
            1e6 +
        (2.0 * files + 2) * kStepPause;
    const double streamed = static_cast<double>(streamed_bytes(package / "VELMOR"));
    return {
        {"start-up check and copy (DIAG)", switched, copy_min},
        {"switch: the device away", in_dload - switched, in_dload - switched},
        {"boot downloader: programmer upload, GO", started - in_dload,
         late_by(in_dload - switched, kFirstSearchAfter, kSearchPass) +
             run.dload_writes * c.efs_other_us / 1e6},
        {"programmer start: the device away", in_stream - started, in_stream - started},
        {"streaming: partition table, four images", reset - in_stream,
         late_by(in_stream - started, 0, kSearchPass) +
             streamed / kBlockBytes * c.stream_us_per_block / 1e6 + kStreamSteps * kStepPause},
        {"reset: the device away", back - reset, back - reset},
        {"return noticed, the run's end", run.run_s - back,
         late_by(back - reset, kReturnPoll, kReturnPoll)},
    };
}

}  // namespace

int run_road(const RoadCeiling& ceiling, bool quick) {
    const TemporaryFolder temporary("road-bench");
    const fs::path& folder = temporary.path();
    const fs::path package = make_package(folder, !quick, false);
    std::printf(
        "\nThe whole road: %s package, the program against the emulated modem on the "
        "mocked USB bus, real timings\n",
        quick ? "the sample" : "a realistic");
    RoadRun run;
    run_against_modem(folder, package, &run);
    std::printf("  exit status %d; the modem %s the package\n", run.status,
                run.holds_package ? "holds" : "does NOT hold");
    const bool ok = run.status == 0 && run.holds_package;
    if (!ok) std::printf("%s", read_text(folder / "package" / "console.txt").c_str());
    print_log_stages(read_text(package / "download.dbg"));
    if (ok) print_stages(stages_of(run, ceiling, package), run.run_s);
    return ok ? 0 : 1;
}

}  // namespace bench
