// What every reliability run is held to: a run that ends in success left the device holding
// exactly the package and no open handle; a run that fails says where and why, on the console and
// in the log; either way the program ends by itself within the stated bound.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/app/upgrade_fixture.h"

namespace apptest {

// The longest from the moment a device stops answering to the failure end, in product
// milliseconds (README, "A device that stops answering"): its boot downloader silent after the
// switch, probed in each of the 12 passes, 1 s apart, on four protocols with ten attempts of 0.5 s.
constexpr long long kMuteBoundMs = 12LL * (1000 + 4 * 10 * 500) + 1000;
// What a whole run of the sample package takes before that, in product milliseconds, with room.
constexpr long long kWholeRunMs = 30000;

// The divisor of this process's clock (FWUP_TIME_DIVISOR), which the emulator uses: the program
// under test is given the same.
int test_divisor();

// The longest a run may take at the test's divisor: a whole run and the mute bound, scaled as the
// program's waits are, and the real time a run spends starting and moving its bytes on top.
std::chrono::milliseconds run_bound();

// Only the cases that bring the program answers it has to take apart run, the others skip: in the
// sanitizer builds, unless FWUP_RELIABILITY_SUBSET=0; elsewhere with FWUP_RELIABILITY_SUBSET=1.
bool subset_only();

// The reasons a console shows on its "why: " lines.
std::vector<std::string> reasons_in(const std::string& console);

struct TimedRun {
    RunResult result;
    std::chrono::milliseconds took{0};
};

class ReliabilityRun : public UpgradeRun {
  protected:
    // A package whose images and CD-ROM image are a few blocks long: where the sizes do not matter,
    // runs stay short. Every check compares with the package as it is then.
    static void shrink(const PackageDir& package);
    // What an earlier firmware left in "/home": files, folders and a link, all to be removed.
    void put_stale_tree();
    // The device in normal mode with the stale tree and the faults; with FWUP_TEST_TRANSCRIPT set,
    // it writes its transcript there (one line per request, answer and fault).
    void start_with_faults(const std::vector<std::string>& faults, emu::Options options = {});

    // Runs the program windowless at the test's divisor; the run has ended by itself (no hang, no
    // crash) within run_bound(). A run still going at options.timeout or twice the bound, whichever
    // comes first, is killed.
    TimedRun timed_run(const PackageDir& package, const RunOptions& options = {});

    // Exit status 0 and the success box, the device holding exactly the package (files, folders
    // and links under "/home", image.iso, nothing else), the programmer in its memory and started,
    // the partition table, every image with its header and closed, back in normal mode with the
    // new firmware; no file or listing left open.
    void expect_success_end(const PackageDir& package, const TimedRun& run);
    // The device side of a success end: the package on the device, back with the new firmware,
    // no file or listing left open.
    void expect_device_holds(const PackageDir& package);
    // Exit status 1, the error box and "The run failed while <stage>." on the console, and a
    // "why:" line there whose reason is in the log.
    void expect_failure_end(const PackageDir& package, const TimedRun& run,
                            const std::string& stage);
    // Exit status 1, and the stage and the reasons told on the console and in the log, whatever
    // they are; returns the stage ("The run failed while <stage>."), empty when none was told.
    std::string expect_failure_told(const PackageDir& package, const TimedRun& run);

    // The device's file system holds exactly what the package puts there.
    void expect_exact_file_system(const PackageDir& package);
};

}  // namespace apptest
