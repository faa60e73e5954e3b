// The device pulled out in each phase of a run: its line hangs up and it leaves the bus. The run
// ends at its failure end, says why, and the program ends, letting the port go; plugged in again
// (in download mode once the switch was under way), the device is brought to the package by a
// second run. On a bench of modems upgraded at once, one pulled out leaves the others' runs be.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <regex>
#include <sstream>
#include <stop_token>
#include <thread>

#include "app/history.h"
#include "stream/stream_wire.h"
#include "testbed/modem_bench.h"
#include "tests/app/reliability_fixture.h"

namespace apptest {
namespace {

struct Unplug {
    const char* phase;
    // The hang-up, with the mode the device is plugged back in ("back=") and "stay": it comes
    // back only when replugged. Empty: it is pulled out after its final reset instead.
    std::string fault;
    const char* stage;   // where the first run fails
    const char* reason;  // a reason the first run gives
    emu::Mode back;      // the mode it comes back in
};

void PrintTo(const Unplug& unplug, std::ostream* os) {
    *os << unplug.phase;
}

// The read-back of image.iso begins after every file of "home" was read back, each in 512-byte
// reads up to one past its end: its fifth read is this one.
std::string fifth_iso_read(const PackageDir& package) {
    int reads = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(package.file("home"))) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().string().find(".link") != std::string::npos) continue;
        reads += static_cast<int>(entry.file_size() / 512) + 1;
    }
    return std::to_string(reads + 5);
}

const Unplug kPhases[] = {
    {"StartUpCheck", "hangup:diag:any:stay", "finding the device",
     "no port of the device was found (settings.ini lists its identifiers)", emu::Mode::Diag},
    {"Copy", "hangup:diag:0x4b:efs=5:nth=3:stay", "copying files to the device",
     "the device's file system did not answer", emu::Mode::Diag},
    {"IsoVerify", "hangup:diag:0x4b:efs=4:stay:nth=", "copying files to the device",
     "the device's file system did not answer", emu::Mode::Diag},
    {"Switch", "hangup:diag:0x3a:back=dload:stay", "switching to download mode",
     "the device did not answer on a download port", emu::Mode::Dload},
    {"ProgrammerUpload", "hangup:dload:0x0f:nth=50:stay", "waiting for the flash programmer",
     "the flash programmer could not be loaded: the boot downloader did not take it whole or did "
     "not confirm its start",
     emu::Mode::Dload},
    {"PartitionTable", "hangup:stream:0x19:back=dload:stay", "writing the partition table",
     "the flash programmer did not take the partition table", emu::Mode::Dload},
    {"ImageStream", "hangup:stream:0x07:nth=30:back=dload:stay", "downloading qcsbl.mbn",
     "the flash programmer did not take all of qcsbl.mbn", emu::Mode::Dload},
    {"WaitingForTheReturn", "", "waiting for the device to come back",
     "the device did not come back within 15 s", emu::Mode::Diag},
};

class Unplugged : public ReliabilityRun, public ::testing::WithParamInterface<Unplug> {};

TEST_P(Unplugged, RunEndsAtTheFailureEndAndASecondRunAfterTheReplugRecoversTheDevice) {
    const Unplug& unplug = GetParam();
    PackageDir package({});
    shrink(package);
    emu::Options options;
    std::string fault = unplug.fault;
    if (fault.ends_with("nth=")) fault += fifth_iso_read(package);
    if (fault.empty()) options.return_after_reset = false;
    start_with_faults(fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{fault},
                      options);

    TimedRun first = timed_run(package);
    expect_failure_end(package, first, unplug.stage);
    EXPECT_NE(first.result.err.find(std::string("why: ") + unplug.reason + "\n"), std::string::npos)
        << first.result.err;
    ASSERT_TRUE(device().wait_unplugged(std::chrono::seconds(10)))
        << "the device was to stay away until plugged in again";

    device().replug();
    ASSERT_TRUE(device().wait_for(unplug.back, std::chrono::seconds(10)));
    TimedRun second = timed_run(package);
    expect_success_end(package, second);
    std::cout << "[ unplug ] " << unplug.phase << " | " << (fault.empty() ? "-" : fault)
              << " | first run: failure while " << unplug.stage << " after " << first.took.count()
              << " ms | second run: success after " << second.took.count() << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(Phases, Unplugged, ::testing::ValuesIn(kPhases),
                         [](const auto& info) { return std::string(info.param.phase); });

// How long a modem of the bench may take to arrive, or to leave when pulled out.
constexpr std::chrono::seconds kPlugBound{10};

// Pulls a modem of a bench out (ModemBench::unplug) as its flash programmer is sent the nth image
// block: the modem holds that request until it is gone, so the block is lost however slowly the
// watching thread is scheduled.
class PullOutAtBlock {
  public:
    explicit PullOutAtBlock(int nth) : nth_(nth) {}

    // The modem's Options::on_request.
    std::function<void(emu::Mode, const std::vector<std::uint8_t>&)> on_request() {
        return [this](emu::Mode mode, const std::vector<std::uint8_t>& request) {
            if (mode != emu::Mode::Stream || request.empty() || request[0] != kStreamWrite) return;
            std::unique_lock lock(mutex_);
            if (++blocks_ != nth_) return;
            changed_.notify_all();
            changed_.wait_for(lock, kPlugBound, [this] { return pulled_; });
        };
    }
    // Watches modem k of the bench from now on, once every modem is plugged in.
    void arm(testbed::ModemBench& bench, std::size_t k, std::chrono::milliseconds bound) {
        watcher_ = std::jthread([this, &bench, k, bound](std::stop_token stop) {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, stop, bound, [this] { return blocks_ >= nth_; })) return;
            lock.unlock();
            bench.unplug(k);
            lock.lock();
            pulled_ = true;
            changed_.notify_all();
        });
    }
    bool pulled() {
        std::lock_guard lock(mutex_);
        return pulled_;
    }

  private:
    const int nth_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    int blocks_ = 0;
    bool pulled_ = false;
    std::jthread watcher_;  // last: it stops and is joined first
};

// The line of the end table whose LOCATION column is location; empty when none is.
std::string table_row(const std::string& table, const std::string& location) {
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream columns(line);
        std::string time, where;
        if (columns >> time >> where && where == location) return line;
    }
    return {};
}

// A modem on the bench: where it is plugged in, its serial number, and the end of its row in the
// end table (a pattern).
struct BenchModem {
    const char* location;
    const char* serial;
    const char* row;
};

using ModemsAtOnce = ReliabilityRun;

// Three modems of the package upgraded at once on one bench: the first is pulled out while its
// images stream, the second's flash programmer never takes the partition table; neither disturbs
// the third, which ends holding the package exactly, and the end table says which failed where.
TEST_F(ModemsAtOnce, OnePulledOutMidStreamOneRefusingItsTableAndTheThirdUpgraded) {
    const BenchModem pulled_out{"1-1.1", "EMU-A", " failure +downloading qcsbl\\.mbn +[0-9.]+ s"};
    const BenchModem refusing{"1-1.2", "EMU-B", " failure +writing the partition table +[0-9.]+ s"};
    const BenchModem good{"1-1.3", "EMU-C",
                          " FW 1\\.0\\.0 B001 -> FW 1\\.0\\.1 B002 +success +- +[0-9.]+ s"};
    PackageDir package({});
    shrink(package);
    PullOutAtBlock pull_out(30);  // in qcsbl.mbn, after the four blocks of qcsblhd_cfgdata.mbn
    testbed::ModemBench bench;
    emu::Options pulled_options, refusing_options;
    pulled_options.on_request = pull_out.on_request();
    refusing_options.faults = {*emu::Fault::parse("loginstead:stream:0x19:every")};
    for (const auto& [options, modem] :
         {std::pair{pulled_options, pulled_out}, std::pair{refusing_options, refusing}}) {
        ASSERT_TRUE(bench.plug(options, {.hub_port = modem.location, .serial = modem.serial}));
        ASSERT_TRUE(bench.modem(bench.size() - 1).wait_for(emu::Mode::Diag, kPlugBound));
    }
    start_device({}, {.hub_port = good.location, .serial = good.serial});
    ASSERT_TRUE(device().wait_for(emu::Mode::Diag, kPlugBound));
    pull_out.arm(bench, 0, run_bound());

    RunOptions all;
    all.args = {"run", "--all"};
    const TimedRun run = timed_run(package, all);

    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.exit_status, 1);
    EXPECT_TRUE(pull_out.pulled());
    const std::string& table = run.result.out;
    EXPECT_EQ(table.rfind("TIME ", 0), 0u) << table;
    std::size_t row_at = 0;  // the rows come in location order
    for (const BenchModem& modem : {pulled_out, refusing, good}) {
        const std::string row = table_row(table, modem.location);
        EXPECT_TRUE(std::regex_search(
            row, std::regex(std::string(" ") + modem.serial + " .*" + modem.row + "$")))
            << modem.location << ":\n"
            << table;
        EXPECT_GT(table.find(row), row_at) << table;
        row_at = table.find(row);
    }
    EXPECT_NE(
        table.find("\n3 modems: 1 succeeded, 2 failed, 0 stopped\n1-1.1: the flash programmer "
                   "did not take all of qcsbl.mbn (while downloading qcsbl.mbn)\n1-1.2: the "
                   "flash programmer did not take the partition table (while writing the "
                   "partition table)\n"),
        std::string::npos);

    expect_device_holds(package);
    EXPECT_TRUE(bench.modem(0).wait_unplugged(kPlugBound));
    EXPECT_FALSE(bench.modem(1).partition_received());
    EXPECT_TRUE(package.exists(std::string("download-") + good.location + ".dbg"));
    EXPECT_NE(package.read(std::string("download-") + refusing.location + ".dbg")
                  .find("the flash programmer did not take the partition table\n"),
              std::string::npos);
    std::istringstream history(package.read(kHistoryName));
    const HistoryRead read = read_history(history, 10, kHistoryName);
    EXPECT_TRUE(read.warnings.empty());
    EXPECT_EQ(read.entries.size(), 3u);
}

}  // namespace
}  // namespace apptest
