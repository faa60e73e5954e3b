// A device that stops answering in the middle of a run: the console says so while the attempts
// run out, without flooding, and the run reaches its failure end within the bound the README
// states, here in the phase where that takes longest.
#include <gtest/gtest.h>

#include <iostream>

#include "app/base/reasons.h"
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

}  // namespace
}  // namespace apptest
