// The device pulled out in each phase of a run: its line hangs up and it leaves the bus. The run
// ends at its failure end, says why, and the program ends, letting the port go; plugged in again
// (in download mode once the switch was under way), the device is brought to the package by a
// second run.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

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

}  // namespace
}  // namespace apptest
