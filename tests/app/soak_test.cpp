// The soak: whole upgrades one after the other in this process, with the program's own start-up,
// worker and clean-up as a windowless run has them, against one device that goes through every
// mode each time. Every run must end in success with the device holding that run's package, and
// the process may not gather descriptors or memory from run to run.
//
// FWUP_SOAK_RUNS sets the number of runs (5 when unset); scripts/soak.sh makes the 50 of a full
// soak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console_display.h"
#include "app/device_return.h"
#include "app/firmware_plan.h"
#include "app/package_check.h"
#include "app/progress_plan.h"
#include "app/session.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/reasons.h"
#include "base/settings.h"
#include "discovery/device_events.h"
#include "probe/mode_probe.h"
#include "tests/app/reliability_fixture.h"

namespace apptest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizer's own memory grows with the history it keeps
#else
constexpr bool kSanitized = false;
#endif

// Growth of the resident set allowed between the first and the last run: the allocator settling,
// not a run's worth of package (each run moves about 70 KiB of files and images).
constexpr long kRssSlackKiB = 4096;

int soak_runs() {
    const char* text = std::getenv("FWUP_SOAK_RUNS");
    return text ? std::max(1, std::atoi(text)) : 5;
}

// The paths unix sockets of this process are bound to, by inode.
std::map<std::string, std::string> bound_sockets() {
    std::map<std::string, std::string> out;
    std::ifstream table("/proc/self/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string skip, inode, path;
        for (int i = 0; i < 6; ++i)
            fields >> skip;
        fields >> inode >> path;
        if (!path.empty()) out["socket:[" + inode + "]"] = path;
    }
    return out;
}

struct Descriptors {
    std::vector<std::string> ours;  // each with what it refers to
    int bus = 0;
};

// The open descriptors of this process. The mocked USB bus keeps, for every port that ever
// arrived, the pseudo-terminal's master and the socket that serves the port's ioctls until the
// bus goes; those are counted apart.
Descriptors open_descriptors() {
    const std::map<std::string, std::string> bound = bound_sockets();
    Descriptors out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (error) continue;  // the listing's own, gone by now
        auto socket = bound.find(target);
        if (target == "/dev/ptmx" ||
            (socket != bound.end() && socket->second.find("/ioctl/dev/") != std::string::npos)) {
            ++out.bus;
        } else {
            out.ours.push_back(entry.path().filename().string() + " " + target);
        }
    }
    std::sort(out.ours.begin(), out.ours.end());
    return out;
}

std::string lines(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& text : texts)
        out += text + "\n";
    return out;
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Contents that differ from run to run, so that a run that wrote nothing would not pass on what
// the one before it left.
std::string run_bytes(std::size_t size, int run) {
    std::string out(size, '\0');
    std::uint32_t x = 0x9E3779B9u * static_cast<std::uint32_t>(run + 1);
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

struct InProcessRun {
    bool succeeded = false;
    std::string console;
};

using DisplayMaker = std::function<std::unique_ptr<ConsoleDisplay>(std::FILE*)>;

// What run_windowless does between the command line and the exit status, with the console going
// to a file that is read afterwards (through a display of make's when given).
InProcessRun run_in_process(const PackageDir& package, const DisplayMaker& make = {},
                            Clock& clock = real_clock()) {
    setenv("XDG_DOCUMENTS_DIR", package.path().c_str(), 1);
    set_program_folder_override(package.path() + "/");
    Session session(clock);
    session.windowless = true;
    InProcessRun run;
    std::FILE* out = std::tmpfile();
    if (!out) return run;
    {
        std::unique_ptr<ConsoleDisplay> made =
            make ? make(out) : std::make_unique<ConsoleDisplay>(out, false);
        ConsoleDisplay& display = *made;
        set_message_boxes(&display);
        set_reason_listener([&display](const std::string& r) { display.show_reason(r); });
        set_no_answer_listener([&display](const std::string& n) { display.show_no_answer(n); });
        {
            DeviceEventThread events([&session](int event) { on_device_change(session, event); });
            upgrade_init(session, &display);
            upgrade_start(session, &display);
        }
        set_message_boxes(nullptr);
        set_reason_listener(nullptr);
        set_no_answer_listener(nullptr);
        app_cleanup(session);
    }
    run.succeeded = last_run_succeeded(session) == 1;
    std::rewind(out);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
        run.console.append(buffer, n);
    std::fclose(out);
    set_program_folder_override("");
    return run;
}

class Soak : public ReliabilityRun {
  protected:
    // One whole run with contents of its own, held to the device holding exactly them.
    void run_once(const PackageDir& package, int run) {
        package.write("VELMOR/amss.mbn", run_bytes(24 * 1024 + run, run));
        package.write("image.iso", run_bytes(16 * 1024 + run, run + 1000));
        package.write("home/www/soak.txt", "run " + std::to_string(run) + "\n");
        if (run > 1) put_stale_tree();
        ASSERT_TRUE(device().wait_for(emu::Mode::Diag, std::chrono::seconds(10)));

        const InProcessRun result = run_in_process(package);
        ASSERT_TRUE(result.succeeded) << result.console;
        EXPECT_NE(result.console.find("100% Download ok!\n"), std::string::npos) << result.console;
        expect_device_holds(package);
    }
};

// How long a descriptor count that differs from the first run's may take to come back to it.
constexpr auto kDescriptorsSettle = std::chrono::seconds(5);

TEST_F(Soak, ConsecutiveRunsAllSucceedWithDescriptorsAndMemoryFlat) {
    const int runs = soak_runs();
    PackageDir package({});
    shrink(package);
    start_with_faults({});
    Descriptors first;
    long first_rss = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int run = 1; run <= runs; ++run) {
        run_once(package, run);
        ASSERT_FALSE(HasFailure()) << "run " << run << " of " << runs << " failed";
        // A descriptor the bus or a thread of the run is still closing is not kept: a leak is one
        // that stays.
        Descriptors fds = open_descriptors();
        const auto settle = std::chrono::steady_clock::now() + kDescriptorsSettle;
        while (run > 1 && fds.ours.size() != first.ours.size() &&
               std::chrono::steady_clock::now() < settle) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            fds = open_descriptors();
        }
        const long rss = resident_kib();
        if (run == 1) {
            first = fds;
            first_rss = rss;
        }
        if (run == 1 || run == runs) {
            std::cout << "[ soak ] run " << run << " of " << runs << ": " << fds.ours.size()
                      << " open descriptors (and " << fds.bus << " of the mocked USB bus), " << rss
                      << " KiB resident\n";
        }
        ASSERT_EQ(fds.ours.size(), first.ours.size()) << "run " << run << " ends with\n"
                                                      << lines(fds.ours) << "the first with\n"
                                                      << lines(first.ours);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << "[ soak ] " << runs << " runs in " << took.count() << " ms\n";
    if (!kSanitized) {
        EXPECT_LE(resident_kib() - first_rss, kRssSlackKiB) << "memory grew over the runs";
    }
}

// The run's time as its waits and the modem's line make it, not the wall clock: the line here is
// a pseudo-terminal whose speed depends on the machine's load, and the waits are divided by the
// test's divisor. A real run spends its time waiting and exchanging requests with the modem, so the
// time at a moment is the product milliseconds the worker has waited so far (the clock the run
// uses, counted on the worker's thread) plus 2 ms for every request the device has received (a
// request and its answer over its USB line).
constexpr long long kRequestMs = 2;
thread_local long long waited_ms = 0;  // the product milliseconds this thread has waited
thread_local int asked_ms = 0;         // the last duration this thread asked the clock about

class WaitCountingClock final : public Clock {
  public:
    WaitCountingClock() = default;
    WaitCountingClock(const WaitCountingClock&) = delete;
    WaitCountingClock& operator=(const WaitCountingClock&) = delete;

    TimePoint now() override { return real_.now(); }
    Duration length_of(int ms) override {
        asked_ms = ms;
        return real_.length_of(ms);
    }
    // Every pause asks the length of its product duration first.
    void sleep_for(Duration length, CancelToken* stop) override {
        waited_ms += asked_ms;
        asked_ms = 0;
        real_.sleep_for(length, stop);
    }

  private:
    Clock& real_ = real_clock();
};

struct Mark {
    long long time = 0;
    double percent = 0;  // the bar's share
    std::string status;  // the status line then, up to its "..."
};

// The console display, with every move of the bar and every status noted with the run's time.
class TracedDisplay : public ConsoleDisplay {
  public:
    // The marks go to marks, which outlives the display.
    TracedDisplay(std::FILE* out, std::function<long long()> time, std::vector<Mark>* marks)
        : ConsoleDisplay(out, false), time_(std::move(time)), marks_(*marks) {}
    void set_range(int maximum) override {
        {
            std::lock_guard hold(mutex_);
            range_ = maximum;
            start_ = time_();
        }
        ConsoleDisplay::set_range(maximum);
    }
    void set_progress(int position) override {
        {
            std::lock_guard hold(mutex_);
            if (range_ > 0)
                marks_.push_back({time_() - start_, 100.0 * position / range_, status_});
        }
        ConsoleDisplay::set_progress(position);
    }
    void set_status(const std::string& text) override {
        {
            std::lock_guard hold(mutex_);
            status_ = text.substr(0, text.find("...") + 3);
            if (range_ > 0 && !marks_.empty())
                marks_.push_back({time_() - start_, marks_.back().percent, status_});
        }
        ConsoleDisplay::set_status(text);
    }

  private:
    std::function<long long()> time_;
    std::mutex mutex_;
    int range_ = 0;
    long long start_ = 0;
    std::string status_;
    std::vector<Mark>& marks_;
};

// For each mark, the first one a tenth of the bar further on comes at least 2% of the run's time
// later.
void expect_no_quick_tenth(const std::vector<Mark>& marks) {
    const long long whole = marks.back().time;
    for (std::size_t i = 0; i < marks.size(); ++i) {
        for (std::size_t j = i + 1; j < marks.size(); ++j) {
            if (marks[j].percent < marks[i].percent + 10) continue;
            EXPECT_GE(marks[j].time - marks[i].time, whole / 50)
                << "from " << marks[i].percent << "% (" << marks[i].status << ") to "
                << marks[j].percent << "% (" << marks[j].status << ") of " << whole << " ms";
            break;
        }
    }
}

// Each status's share of the run's time is at most twice its share of the bar.
void expect_steps_within_their_share(const std::vector<Mark>& marks) {
    const double whole = static_cast<double>(marks.back().time);
    std::size_t first = 0;
    for (std::size_t i = 1; i <= marks.size(); ++i) {
        if (i < marks.size() && marks[i].status == marks[first].status) continue;
        const Mark& end = marks[i < marks.size() ? i : marks.size() - 1];
        const double time_share = 100.0 * (end.time - marks[first].time) / whole;
        const double bar_share = end.percent - marks[first].percent;
        EXPECT_LE(time_share, 2 * bar_share + 100.0 * kRequestMs / whole)
            << marks[first].status << ": " << time_share << "% of the time, " << bar_share
            << "% of the bar";
        first = i;
    }
}

// From the port found to the success box, equal time moves the bar about equally: no tenth of the
// bar goes by in under 2% of the run's time, and no step (a status of its own) takes more than
// twice the share of the time that it takes of the bar (and one request besides, for the steps of
// a request or two).
TEST_F(Soak, TheBarFollowsTheRunsTimeOnTheSamplePackage) {
    PackageDir package({});
    start_with_faults({});
    ASSERT_TRUE(device().wait_for(emu::Mode::Diag, std::chrono::seconds(10)));
    WaitCountingClock clock;
    std::vector<Mark> marks;
    const InProcessRun result = run_in_process(
        package,
        [&](std::FILE* out) {
            return std::make_unique<TracedDisplay>(
                out, [this] { return waited_ms + kRequestMs * device().requests_received(); },
                &marks);
        },
        clock);
    ASSERT_TRUE(result.succeeded) << result.console;
    expect_device_holds(package);
    ASSERT_GT(marks.size(), 20u);
    EXPECT_EQ(marks.back().percent, 100.0);
    std::ostringstream trace;
    for (const Mark& mark : marks)
        trace << mark.time << " ms " << mark.percent << "% " << mark.status << "\n";
    SCOPED_TRACE(trace.str());
    expect_no_quick_tenth(marks);
    expect_steps_within_their_share(marks);
}

// The console display, with the bar's range, every position it is set to and the position it
// stands at when each status is shown.
class PositionsDisplay : public ConsoleDisplay {
  public:
    struct Seen {
        std::vector<long long> ranges, positions;
        std::vector<std::pair<std::string, long long>> statuses;
    };
    PositionsDisplay(std::FILE* out, Seen* seen) : ConsoleDisplay(out, false), seen_(*seen) {}
    void set_range(int maximum) override {
        {
            std::lock_guard hold(mutex_);
            seen_.ranges.push_back(maximum);
        }
        ConsoleDisplay::set_range(maximum);
    }
    void set_progress(int position) override {
        {
            std::lock_guard hold(mutex_);
            seen_.positions.push_back(position);
        }
        ConsoleDisplay::set_progress(position);
    }
    void set_status(const std::string& text) override {
        {
            std::lock_guard hold(mutex_);
            const long long at = seen_.positions.empty() ? -1 : seen_.positions.back();
            seen_.statuses.emplace_back(text, at);
        }
        ConsoleDisplay::set_status(text);
    }

  private:
    std::mutex mutex_;
    Seen& seen_;
};

// Where the bar stood when text was first shown at or after from (moved past it), -1 when never.
long long shown_at(const std::vector<std::pair<std::string, long long>>& statuses,
                   const std::string& text, std::size_t* from) {
    for (; *from < statuses.size(); ++*from)
        if (statuses[*from].first == text) return statuses[(*from)++].second;
    return -1;
}

// The plan and the stages both walk the firmware set. The range is the plan's total; the bar
// stands exactly at the planned end of every step the run ends, in the plan's order; and each file
// the flash programmer takes is a step of the plan that ends where the next file's status (or the
// reset's) is shown. A file one of them walks and the other skips breaks one of these.
TEST_F(Soak, TheBarStandsAtEveryPlannedStepEndOfTheSamplePackage) {
    PackageDir package({});
    Package checked;
    std::string refusal;
    ASSERT_TRUE(check_package(package.path() + "/", &checked, &refusal)) << refusal;
    const ProgressPlan plan = plan_progress(checked, MODE_DIAG);
    start_with_faults({});
    ASSERT_TRUE(device().wait_for(emu::Mode::Diag, std::chrono::seconds(10)));
    PositionsDisplay::Seen seen;
    const InProcessRun result = run_in_process(
        package, [&](std::FILE* out) { return std::make_unique<PositionsDisplay>(out, &seen); });
    ASSERT_TRUE(result.succeeded) << result.console;
    expect_device_holds(package);
    ASSERT_FALSE(seen.ranges.empty());
    EXPECT_EQ(seen.ranges.back(), plan.total);
    ASSERT_FALSE(seen.positions.empty());
    EXPECT_EQ(seen.positions.back(), plan.total);
    auto at = seen.positions.begin();
    for (const auto& [step, end] : plan.ends) {
        // The copy has no end of its own: its last transfer leads straight into the switch.
        if (step == kStepCopy) continue;
        auto found = std::find(at, seen.positions.end(), end);
        EXPECT_TRUE(found != seen.positions.end()) << step << " ends at " << end;
        if (found != seen.positions.end()) at = found;
    }
    const auto files = firmware_plan();
    std::size_t from = 0;
    for (std::size_t i = 1; i < files.size(); ++i) {
        const std::string next = i + 1 < files.size() ? files[i + 1].status : "Resetting device...";
        EXPECT_GT(plan.end_of(files[i].name), 0) << files[i].name;
        EXPECT_EQ(shown_at(seen.statuses, next, &from), plan.end_of(files[i].name))
            << files[i].name << " then " << next;
    }
}

}  // namespace
}  // namespace apptest
