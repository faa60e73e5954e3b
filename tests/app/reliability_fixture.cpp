#include "tests/app/reliability_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

namespace apptest {

namespace fs = std::filesystem;

namespace {

constexpr const char* kErrorBox = "Download has error, please close program and see download.dbg\n";

// Besides the waits the divisor shortens, a run spends real time starting, searching the mocked
// bus and moving its bytes; this much of it is allowed on top of the scaled bound.
constexpr std::chrono::seconds kUnscaledAllowance{40};

std::string bytes_text(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return out;
}

// What a path on the device is expected to be: a file's bytes, a link's target, or a folder.
struct Expected {
    emu::EfsType type;
    std::vector<std::uint8_t> data;
    std::string target;
};

std::map<std::string, Expected> expected_tree(const PackageDir& package) {
    std::map<std::string, Expected> tree;
    tree["/home"] = {emu::EfsType::Directory, {}, {}};
    const fs::path home = package.file("home");
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        const std::string path = "/home/" + fs::relative(entry.path(), home).string();
        if (entry.is_directory()) {
            tree[path] = {emu::EfsType::Directory, {}, {}};
        } else if (path.find(".link") == std::string::npos) {
            std::vector<unsigned char> raw = file_bytes(entry.path().string());
            tree[path] = {emu::EfsType::File, {raw.begin(), raw.end()}, {}};
        }
    }
    // The sample package's link descriptions, as the device is to hold them.
    tree["/home/sh"] = {emu::EfsType::Link, {}, "/bin/busybox"};
    tree["/home/www/cgi"] = {emu::EfsType::Link, {}, "/usr/lib/cgi"};
    tree["/home/etc/config/resolv"] = {emu::EfsType::Link, {}, "/tmp/resolv"};
    std::vector<unsigned char> iso = file_bytes(package.file("image.iso"));
    tree["/image.iso"] = {emu::EfsType::File, {iso.begin(), iso.end()}, {}};
    return tree;
}

}  // namespace

// Plain output has the clock in front of the "why: " lines.
std::vector<std::string> reasons_in(const std::string& console) {
    std::vector<std::string> out;
    const std::regex line("(?:[0-9][0-9]:[0-9][0-9] )?why: (.*)");
    std::istringstream lines(console);
    std::string text;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (std::regex_match(text, m, line)) out.push_back(m[1]);
    }
    return out;
}

int test_divisor() {
    const char* text = std::getenv("FWUP_TIME_DIVISOR");
    return text ? std::max(1, std::atoi(text)) : 1;
}

bool subset_only() {
#ifdef FWUP_RELIABILITY_SUBSET_BUILD
    constexpr bool kSubsetBuild = true;
#else
    constexpr bool kSubsetBuild = false;
#endif
    const char* text = std::getenv("FWUP_RELIABILITY_SUBSET");
    return text && text[0] != '\0' ? std::string(text) == "1" : kSubsetBuild;
}

void ReliabilityRun::shrink(const PackageDir& package) {
    package.write("VELMOR/oemsbl.mbn", bytes_text(6 * 1024 + 7, 4));
    package.write("VELMOR/amss.mbn", bytes_text(24 * 1024 + 300, 5));
    package.write("image.iso", bytes_text(16 * 1024, 6));
}

void ReliabilityRun::put_stale_tree() {
    ASSERT_TRUE(device().efs_put_file("/home/old/stale.txt", {1, 2, 3}));
    ASSERT_TRUE(device().efs_put_file("/home/old/deeper/older.bin", {4}));
    ASSERT_TRUE(device().efs_put_file("/home/stale.bin", {5, 6}));
    ASSERT_TRUE(device().efs_put_link("/home/oldlink", "/bin/busybox"));
    ASSERT_TRUE(device().efs_put_file("/home/www/stale.html", {7}));
}

void ReliabilityRun::start_with_faults(const std::vector<std::string>& faults,
                                       emu::Options options) {
    for (const std::string& text : faults) {
        std::string error;
        auto fault = emu::Fault::parse(text, &error);
        ASSERT_TRUE(fault) << error;
        options.faults.push_back(*fault);
    }
    if (const char* transcript = std::getenv("FWUP_TEST_TRANSCRIPT"))
        options.transcript = transcript;
    start_device(options);
    put_stale_tree();
}

std::chrono::milliseconds run_bound() {
    return std::chrono::milliseconds((kMuteBoundMs + kWholeRunMs) / test_divisor()) +
           std::chrono::milliseconds(kUnscaledAllowance);
}

TimedRun ReliabilityRun::timed_run(const PackageDir& package, const RunOptions& options) {
    RunOptions bounded = options;
    bounded.time_divisor = test_divisor();
    const std::chrono::milliseconds bound = run_bound();
    // Past the time-out the program is killed, and the run counts as one that did not end.
    bounded.timeout = std::min(options.timeout, 2 * bound);
    const auto start = std::chrono::steady_clock::now();
    TimedRun timed;
    timed.result = run_windowless(package, bounded);
    timed.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(timed.result.exited)
        << "the run did not end by itself within " << bounded.timeout.count() << " ms (signal "
        << timed.result.end_signal << ")";
    EXPECT_LE(timed.took, bound) << "the run ended past the bound";
    return timed;
}

void ReliabilityRun::expect_exact_file_system(const PackageDir& package) {
    const std::map<std::string, Expected> expected = expected_tree(package);
    std::map<std::string, emu::EfsType> held;
    std::vector<std::string> folders = {""};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        for (const std::string& name : device().efs_list(folder.empty() ? "/" : folder)) {
            const std::string path = folder + "/" + name;
            held[path] = device().efs_type(path);
            if (held[path] == emu::EfsType::Directory) folders.push_back(path);
        }
    }
    for (const auto& [path, type] : held)
        EXPECT_TRUE(expected.count(path)) << path << " is on the device but not in the package";
    for (const auto& [path, want] : expected) {
        auto it = held.find(path);
        if (it == held.end()) {
            ADD_FAILURE() << path << " is missing on the device";
            continue;
        }
        EXPECT_EQ(it->second, want.type) << path;
        if (want.type == emu::EfsType::File) {
            EXPECT_TRUE(device().efs_file(path) == want.data) << path << " differs";
        } else if (want.type == emu::EfsType::Link) {
            EXPECT_EQ(device().efs_link_target(path), want.target) << path;
        }
    }
}

void ReliabilityRun::expect_success_end(const PackageDir& package, const TimedRun& run) {
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.exit_status, 0);
    EXPECT_EQ(run.result.out, success_output(package.path()));
    expect_device_holds(package);
}

void ReliabilityRun::expect_device_holds(const PackageDir& package) {
    expect_exact_file_system(package);
    expect_programmer_loaded(package);
    expect_firmware_written(package);
    for (int type = 0; type < 16; ++type) {
        if (type >= 2 && type <= 5) continue;
        EXPECT_FALSE(device().flash_image(type)) << "image " << type;
    }
    EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
    EXPECT_EQ(device().build_version(), "FW 1.0.1 B002");
    EXPECT_EQ(device().efs_open_handles(), 0);
}

void ReliabilityRun::expect_failure_end(const PackageDir& package, const TimedRun& run,
                                        const std::string& stage) {
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.out, "");
    EXPECT_NE(run.result.err.find(std::string(kErrorBox) + "The run failed while " + stage + ".\n"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(expect_failure_told(package, run), stage);
    EXPECT_NE(package.log().find("failed while " + stage + "\n"), std::string::npos);
}

std::string ReliabilityRun::expect_failure_told(const PackageDir& package, const TimedRun& run) {
    if (!run.result.exited) return {};
    EXPECT_EQ(run.result.exit_status, 1);
    std::smatch told;
    const std::regex stage_line("The run failed while (.+)\\.\n");
    EXPECT_TRUE(std::regex_search(run.result.err, told, stage_line)) << "no stage on the console:\n"
                                                                     << run.result.err;
    const std::string stage = told.empty() ? std::string() : told.str(1);
    const std::string log = package.log();
    if (!stage.empty()) {
        EXPECT_NE(log.find(stage), std::string::npos) << "not in the log: " << stage;
    }
    const std::vector<std::string> reasons = reasons_in(run.result.err);
    EXPECT_FALSE(reasons.empty()) << "no reason on the console:\n" << run.result.err;
    for (const std::string& reason : reasons)
        EXPECT_NE(log.find(reason + "\n"), std::string::npos) << "not in the log: " << reason;
    return stage;
}

}  // namespace apptest
