// A device that stops answering in the middle of a run: the console says so while the attempts
// run out, without flooding, and the run reaches its failure end within the bound the README
// states, here in the phase where that takes longest.
#include <gtest/gtest.h>

#include <iostream>

#include "base/reasons.h"
#include "tests/app/reliability_fixture.h"

namespace apptest {
namespace {

constexpr const char* kNotice = "wait: the device has not answered for ";

TEST_F(ReliabilityRun, DeviceMuteAfterTheSwitchEndsWithinTheBoundSayingSoWhileItWaits) {
    // Nothing to copy: the device reaches the switch at once. It takes the switch, and its boot
    // downloader never answers: each of the 12 passes probes all four protocols in vain.
    PackageDir package({});
    shrink(package);
    package.remove("home");
    package.remove("image.iso");
    start_with_faults({"drop:dload:any:every"});

    TimedRun run = timed_run(package);

    expect_failure_end(package, run, "switching to download mode");
    EXPECT_NE(run.result.err.find("why: the device did not answer on a download port\n"),
              std::string::npos)
        << run.result.err;
    const int notices = count_of(run.result.err, kNotice);
    EXPECT_GE(notices, 12) << "at least once in every pass:\n" << run.result.err;
    // At most one in 5 s of product time.
    const long long product_ms = run.took.count() * test_divisor();
    EXPECT_LE(notices, product_ms / kNoAnswerGapMs + 1) << run.result.err;
    EXPECT_NE(run.result.err.find(" s; trying again, 9 attempts left\n"), std::string::npos);
    std::cout << "[ mute ] boot downloader silent after the switch: failure end after "
              << run.took.count() << " ms (" << product_ms / 1000 << " s of product time), "
              << notices << " notices\n";
}

// The device falls silent in another phase and stays so: every run reaches its failure end within
// the same bound, with a notice on the console.
struct MutePhase {
    const char* phase;
    const char* fault;  // every request of the mode dropped from the nth on
    const char* stage;
    // The silence lasts well past kNoAnswerAfterMs before the run gives up, so it must be told.
    bool told;
    emu::Mode start = emu::Mode::Diag;  // the mode the device is found in
};

void PrintTo(const MutePhase& mute, std::ostream* os) {
    *os << mute.fault;
}

const MutePhase kMutePhases[] = {
    {"StartUpCheck", "drop:diag:any:every", "finding the device", true},
    {"Copy", "drop:diag:any:nth=80:every", "copying files to the device", true},
    // The load goes on to the start address whatever the writes met; the programmer is then
    // looked for in vain.
    {"ProgrammerUpload", "drop:dload:any:nth=5:every", "waiting for the flash programmer", true},
    {"FlashProgrammer", "drop:stream:any:every", "waiting for the flash programmer", true},
    // One image's write goes unanswered for its ten attempts of 0.5 s: the run ends about when the
    // silence would be told.
    {"ImageStream", "drop:stream:any:nth=20:every", "downloading qcsbl.mbn", false},
    // Found with its flash programmer running, the device speaks DIAG first after its final reset:
    // it comes back and answers nothing on its diag port.
    {"AfterTheReturn", "drop:diag:any:every", "checking the version after the return", true,
     emu::Mode::Stream},
};

class MuteFrom : public ReliabilityRun, public ::testing::WithParamInterface<MutePhase> {};

TEST_P(MuteFrom, PhaseEndsWithinTheBoundSayingSoWhileItWaits) {
    const MutePhase& mute = GetParam();
    // Only waiting: the mute boot downloader above stands for them in the sanitizer build.
    if (subset_only()) GTEST_SKIP() << "not in the sanitizer subset";
    PackageDir package({});
    shrink(package);
    emu::Options options;
    options.start_mode = mute.start;
    start_with_faults({mute.fault}, options);

    TimedRun run = timed_run(package);

    expect_failure_end(package, run, mute.stage);
    if (mute.told) {
        EXPECT_NE(run.result.err.find(kNotice), std::string::npos) << run.result.err;
    }
    const long long product_ms = run.took.count() * test_divisor();
    std::cout << "[ mute ] " << mute.phase << " | " << mute.fault << " | failure while "
              << mute.stage << " after " << run.took.count() << " ms (" << product_ms / 1000
              << " s of product time)\n";
}

INSTANTIATE_TEST_SUITE_P(Phases, MuteFrom, ::testing::ValuesIn(kMutePhases),
                         [](const auto& info) { return std::string(info.param.phase); });

}  // namespace
}  // namespace apptest
