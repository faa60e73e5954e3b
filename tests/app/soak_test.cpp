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
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/base/reasons.h"
#include "app/base/settings.h"
#include "app/base/shared_state.h"
#include "app/console_display.h"
#include "app/device_return.h"
#include "app/upgrade.h"
#include "discovery/device_events.h"
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

// What run_windowless does between the command line and the exit status, with the console going
// to a file that is read afterwards.
InProcessRun run_in_process(const PackageDir& package) {
    setenv("XDG_DOCUMENTS_DIR", package.path().c_str(), 1);
    set_program_folder_override(package.path() + "/");
    windowless = true;
    InProcessRun run;
    std::FILE* out = std::tmpfile();
    if (!out) return run;
    {
        ConsoleDisplay display(out, false);
        set_message_boxes(&display);
        set_reason_listener([&display](const std::string& r) { display.show_reason(r); });
        set_no_answer_listener([&display](const std::string& n) { display.show_no_answer(n); });
        {
            DeviceEventThread events(on_device_change);
            upgrade_init(&display);
            upgrade_start(&display);
        }
        set_message_boxes(nullptr);
        set_reason_listener(nullptr);
        set_no_answer_listener(nullptr);
        app_cleanup();
    }
    run.succeeded = last_run_succeeded() == 1;
    std::rewind(out);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
        run.console.append(buffer, n);
    std::fclose(out);
    reset_shared_state();
    set_program_folder_override("");
    windowless = false;
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
        EXPECT_NE(result.console.find("100% Download ok\n"), std::string::npos) << result.console;
        expect_device_holds(package);
    }
};

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
        const Descriptors fds = open_descriptors();
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

}  // namespace
}  // namespace apptest
