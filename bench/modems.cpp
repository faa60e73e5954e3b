#include "bench/modems.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/package_run.h"
#include "emulator/emulator.h"
#include "testbed/modem_bench.h"

namespace bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kModemCounts[] = {1, 2, 4};
// Four modems in at most this many times the time of one, on a 2-core machine.
constexpr double kGoalRatio = 1.3;
// Long enough for a modem's last return after a run that ended in success.
constexpr auto kReturnWait = std::chrono::seconds(30);

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// How long a modem was off the bus in all: the switch, the programmer's start and the reset each
// take it away for a while the program can only wait out.
class Absences {
  public:
    void record(const emu::Change& change) {
        std::lock_guard hold(lock_);
        if (change.kind == emu::Change::Kind::Left) {
            left_ = Clock::now();
        } else if (left_) {
            away_ += Clock::now() - *left_;
            left_.reset();
        }
    }
    double away_s() const {
        std::lock_guard hold(lock_);
        return seconds(away_);
    }

  private:
    mutable std::mutex lock_;
    std::optional<Clock::time_point> left_;
    Clock::duration away_{};
};

struct Attempt {
    int status = -1;
    double wall_s = 0;
    double away_s = 0;  // the longest any of the modems was away
    int holding = 0;    // modems whose dumps equal the package
    int modems = 0;
    bool succeeded() const { return status == 0 && holding == modems; }
};

// Plugs modems fresh modems in, runs the program on all of them at once and compares what each
// holds afterwards with the package.
Attempt run_once(const fs::path& package, const fs::path& dumps, int modems) {
    Attempt attempt;
    attempt.modems = modems;
    std::vector<Absences> away(static_cast<std::size_t>(modems));
    testbed::ModemBench bench;
    for (Absences& modem : away) {
        testbed::MockedUsbDeviceOptions usb;
        usb.disk_after_reset = true;  // the new firmware brings its disk up as well
        if (!bench.plug({}, usb, [&modem](const emu::Change& change) { modem.record(change); }))
            throw std::runtime_error("an emulated modem did not start: " + bench.error());
    }
    fs::remove(package / "console.txt");
    const Clock::time_point start = Clock::now();
    attempt.status = run_in(package, package / "fwupgrade", {"run", "--all"});
    attempt.wall_s = seconds(Clock::now() - start);
    for (std::size_t k = 0; k < bench.size(); ++k) {
        emu::Emulator& modem = bench.modem(k);
        modem.wait_finished(attempt.status == 0 ? kReturnWait : std::chrono::seconds(1));
        const fs::path own = dumps / ("modem" + std::to_string(k + 1));
        fs::remove_all(own);
        if (modem.dump_efs((own / "efs").string()) && modem.dump_flash((own / "flash").string()) &&
            holds_package(package, own))
            ++attempt.holding;
        attempt.away_s = std::max(attempt.away_s, away[k].away_s());
    }
    bench.stop();
    return attempt;
}

// The shortest of repeat runs; the first that failed instead, which is never timed.
Attempt best_of(const fs::path& package, const fs::path& dumps, int modems, int repeat) {
    Attempt best;
    for (int turn = 0; turn < repeat; ++turn) {
        const Attempt attempt = run_once(package, dumps, modems);
        if (!attempt.succeeded()) return attempt;
        if (turn == 0 || attempt.wall_s < best.wall_s) best = attempt;
    }
    return best;
}

void print_row(const Attempt& a, double one_s) {
    if (!a.succeeded()) {
        std::printf("  %6d  FAILED: exit status %d, %d of %d modems hold the package\n", a.modems,
                    a.status, a.holding, a.modems);
        return;
    }
    char ratio[32] = "-";  // none when the run of one modem failed
    if (one_s > 0) std::snprintf(ratio, sizeof ratio, "%.2f", a.wall_s / one_s);
    std::printf("  %6d  %9.2f  %12s  %16.2f\n", a.modems, a.wall_s, ratio, a.away_s);
}

void write_csv(const std::string& path, const std::vector<Attempt>& rows) {
    std::ofstream out(path);
    out << "modems,wall_s,away_s\n";
    for (const Attempt& a : rows)
        if (a.succeeded()) out << a.modems << ',' << a.wall_s << ',' << a.away_s << '\n';
    if (!out) throw std::runtime_error("cannot write " + path);
}

void print_target(const std::vector<Attempt>& rows) {
    const Attempt& one = rows.front();
    const Attempt& four = rows.back();
    const bool measured = one.succeeded() && four.succeeded();
    const double ratio = measured ? four.wall_s / one.wall_s : 0.0;
    std::printf("\nTarget\n  %-60s ", "4 modems, ratio to the time of one (<= 1.30)");
    if (measured)
        std::printf("%8.2f  %s\n", ratio, ratio <= kGoalRatio ? "met" : "NOT MET");
    else
        std::printf("%8s  NOT MET (a run failed)\n", "-");
}

}  // namespace

int run_modems(int repeat, const std::string& csv) {
    const TemporaryFolder temporary("modems-bench");
    const fs::path package = make_package(temporary.path(), false, true);
    std::printf(
        "\nSeveral modems at once: fwupgrade run --all with the sealed sample package, the "
        "emulated "
        "modems on\nthe mocked USB bus, real timings; best of %d\n",
        repeat);
    std::printf("  %6s  %9s  %12s  %16s\n", "modems", "wall s", "ratio to one", "longest away s");
    std::vector<Attempt> rows;
    bool ok = true;
    for (int modems : kModemCounts) {
        rows.push_back(best_of(package, temporary.path() / "dumps", modems, repeat));
        print_row(rows.back(), rows.front().succeeded() ? rows.front().wall_s : 0.0);
        std::fflush(stdout);
        if (!rows.back().succeeded()) {
            ok = false;
            std::printf("%s", read_text(package / "console.txt").c_str());
        }
    }
    std::printf(
        "  (longest away: the time the modem that was off the bus longest spent away, at its "
        "switch,\n  its programmer's start and its reset: waits no program can shorten)\n");
    print_target(rows);
    if (!csv.empty()) write_csv(csv, rows);
    return ok ? 0 : 1;
}

}  // namespace bench
