// The fault matrix: whole windowless runs from normal mode against a device that misbehaves once,
// a few times or always at one step of the road, each row with the end it must reach. Every row
// is also held to what any run is held to (tests/app/reliability_fixture.h).
#include <gtest/gtest.h>

#include <iostream>

#include "tests/app/reliability_fixture.h"

namespace apptest {
namespace {

enum class End { Success, Failure };

// How the device is set up beside its fault.
enum Setup : unsigned {
    kPlain = 0,
    kNoReturn = 1,        // does not come back after its final reset
    kLateReturn = 2,      // comes back after its final reset, late but within the wait
    kHandlesMayStay = 4,  // never carries out a close: its handles stay open whatever the run does
};

struct Row {
    const char* name;   // the behaviour
    const char* fault;  // the emulator's fault (Fault::parse); empty: none
    End end;
    const char* stage;  // where a failure stops: "The run failed while <stage>."
    unsigned setup = kPlain;
};

constexpr const char* kFinding = "finding the device";
constexpr const char* kCopying = "copying files to the device";
constexpr const char* kSwitching = "switching to download mode";
constexpr const char* kLoading = "loading the flash programmer";
constexpr const char* kWaitingProgrammer = "waiting for the flash programmer";
constexpr const char* kTable = "writing the partition table";
constexpr const char* kResetting = "resetting the device";
constexpr const char* kWaitingReturn = "waiting for the device to come back";
constexpr const char* kCheckingVersion = "checking the version after the return";
constexpr End S = End::Success;
constexpr End F = End::Failure;

// Transient faults hit one to three requests; persistent ones ("every") all from the first hit.
const Row kRows[] = {
    // The mode probe and the start-up check.
    {"VersionDroppedThreeTimesIsAnsweredOnTheFourth", "drop:diag:0x00:times=3", S, ""},
    {"VersionNeverAnsweredLeavesNoProtocolToTalk", "drop:diag:0x00:every", F, kFinding},
    {"BuildVersionRefusedAtStartUpStillLetsTheRunGoOn", "diagerr:diag:0x7c:times=10", S, ""},
    // The file system, each operation.
    {"FileSystemHelloDroppedTwiceIsSentAgain", "drop:diag:0x4b:efs=0:times=2", S, ""},
    {"FileSystemHelloAnsweredLateEveryTimeIsNotWaitedFor", "delay:diag:0x4b:efs=0:every", S, ""},
    {"CreateRefusedTwiceForNoSpaceIsTriedAgain", "efs:diag:0x4b:efs=2:code=28:times=2", S, ""},
    {"CreateAlwaysRefusedForNoSpaceFailsTheCopy", "efs:diag:0x4b:efs=2:code=28:every", F, kCopying},
    {"OpenAnsweredLateOnceLeavesNoHandleOpen", "delay:diag:0x4b:efs=2:nth=3", S, ""},
    {"CreateAnsweredWithABadCrcOnceLeavesNoHandleOpen", "badcrc:diag:0x4b:efs=2:nth=3", S, ""},
    {"OpenAnsweredLateEveryTimeLeavesNoHandleOpen", "delay:diag:0x4b:efs=2:every", S, ""},
    {"CloseAnsweredLateTwiceLeavesNoHandleOpen", "delay:diag:0x4b:efs=3:nth=2:times=2", S, ""},
    // Every answer lost, the refusals of the repeated closes too: no close is ever confirmed.
    {"CloseAnswersAlwaysLostFailTheCopy", "lose:diag:0x4b:efs=3:every", F, kCopying},
    {"CloseNeverCarriedOutFailsTheCopy", "drop:diag:0x4b:efs=3:every", F, kCopying,
     kHandlesMayStay},
    {"ReadBackWithABadCrcOnceIsReadAgain", "badcrc:diag:0x4b:efs=4:nth=2", S, ""},
    {"ReadBackAlwaysRefusedFailsTheCopy", "diagerr:diag:0x4b:efs=4:every", F, kCopying},
    {"WriteAnswersSplitThreeTimesAreTakenOrAskedAgain", "split:diag:0x4b:efs=5:nth=2:times=3", S,
     ""},
    {"WriteAnsweredLateTwiceIsSentAgain", "delay:diag:0x4b:efs=5:nth=3:times=2", S, ""},
    {"WriteAlwaysRefusedForNoSpaceFailsTheCopy", "efs:diag:0x4b:efs=5:code=28:every", F, kCopying},
    {"LinkRefusedOnceIsMadeAgain", "efs:diag:0x4b:efs=6:code=17", S, ""},
    {"LinkAlwaysRefusedFailsTheCopy", "diagerr:diag:0x4b:efs=6:every", F, kCopying},
    {"RemovalDroppedTwiceIsSentAgain", "drop:diag:0x4b:efs=8:times=2", S, ""},
    {"RemovalAnswersAlwaysCorruptedStillEmptyTheFolder", "badcrc:diag:0x4b:efs=8:every", S, ""},
    {"RemovalNeverAnsweredFailsTheCopy", "drop:diag:0x4b:efs=8:every", F, kCopying},
    {"FolderCreationDroppedThreeTimesIsSentAgain", "drop:diag:0x4b:efs=9:times=3", S, ""},
    {"FolderCreationAnswerLostOnceIsMadeInTheNextPass", "lose:diag:0x4b:efs=9", S, ""},
    {"FolderCreationAnswersAlwaysLostFailTheCopy", "lose:diag:0x4b:efs=9:every", F, kCopying},
    {"FolderRemovalAnsweredLateIsNotRepeatedWrongly", "delay:diag:0x4b:efs=10", S, ""},
    {"FolderRemovalAlwaysRefusedFailsTheCopy", "diagerr:diag:0x4b:efs=10:every", F, kCopying},
    {"ListingOpenDroppedOnceIsSentAgain", "drop:diag:0x4b:efs=11", S, ""},
    // The repeated opendir's answer comes too late to be waited for and ends a listing read.
    {"ListingOpenAnsweredLateEveryTimeFailsTheCopy", "delay:diag:0x4b:efs=11:every", F, kCopying},
    {"ListingOpenAlwaysRefusedFailsTheCopy", "efs:diag:0x4b:efs=11:code=2:every", F, kCopying},
    {"ListingReadSplitTwiceIsTakenOrAskedAgain", "split:diag:0x4b:efs=12:nth=3:times=2", S, ""},
    {"ListingReadNeverAnsweredFailsTheCopy", "drop:diag:0x4b:efs=12:every", F, kCopying},
    {"ListingCloseWithABadCrcOnceCountsAsDone", "badcrc:diag:0x4b:efs=13", S, ""},
    {"ListingCloseAlwaysFailingFailsTheCopy", "efs:diag:0x4b:efs=13:code=5:every", F, kCopying,
     kHandlesMayStay},
    {"SizeQueryAnsweredLateTwiceIsAskedAgain", "delay:diag:0x4b:efs=15:times=2", S, ""},
    {"SizeQueryAlwaysCorruptedFailsTheCopy", "badcrc:diag:0x4b:efs=15:every", F, kCopying},
    // The write's file stays open on the device: the line was gone before it could be closed.
    {"LineHangsUpDuringACopyWrite", "hangup:diag:0x4b:efs=5:nth=3", F, kCopying, kHandlesMayStay},
    // The switch to download mode.
    {"SwitchDroppedTwiceIsSentAgain", "drop:diag:0x3a:times=2", S, ""},
    {"SwitchAnswersAlwaysCorruptedStillReachDownloadMode", "badcrc:diag:0x3a:every", S, ""},
    {"SwitchNeverTakenFailsAfterThePasses", "drop:diag:0x3a:every", F, kSwitching},
    // The boot downloader.
    {"NopRefusedThreeTimesIsAnsweredOnTheFourth", "nak:dload:0x06:times=3", S, ""},
    {"NopAlwaysRefusedLeavesTheBootDownloaderUnfound", "nak:dload:0x06:every", F, kSwitching},
    {"DownloadRequestDroppedTwiceIsSentAgain", "drop:dload:0x07:times=2", S, ""},
    {"DownloadRequestAlwaysRefusedFailsTheLoad", "nak:dload:0x07:every", F, kLoading},
    {"UnlockAnsweredWithABadCrcTwiceIsSentAgain", "badcrc:dload:0x0b:times=2", S, ""},
    {"UnlockAlwaysRefusedFailsTheLoad", "nak:dload:0x0b:every", F, kLoading},
    {"ProgrammerWriteAnswersSplitThreeTimes", "split:dload:0x0f:nth=5:times=3", S, ""},
    {"ProgrammerWriteAnsweredLateOnce", "delay:dload:0x0f:nth=7", S, ""},
    {"ProgrammerWriteAlwaysRefusedIsNeverStarted", "nak:dload:0x0f:every", F, kWaitingProgrammer},
    {"GoAnswerLostStillFindsTheProgrammer", "lose:dload:0x05", S, ""},
    {"GoAlwaysRefusedLeavesNoProgrammer", "nak:dload:0x05:every", F, kWaitingProgrammer},
    // The flash programmer.
    {"HelloDroppedThreeTimesIsSentAgain", "drop:stream:0x01:times=3", S, ""},
    {"HelloNeverAnsweredLeavesNoProgrammer", "drop:stream:0x01:every", F, kWaitingProgrammer},
    {"SecurityModeAnsweredOnlyWithLogMessagesIsTaken", "loginstead:stream:0x17:every", S, ""},
    {"SecurityModeNeverAnsweredIsDoneWithout", "drop:stream:0x17:every", S, ""},
    {"PartitionTableAnsweredLateOnce", "delay:stream:0x19", S, ""},
    {"PartitionTableAlwaysAnsweredWithLogMessagesFails", "loginstead:stream:0x19:every", F, kTable},
    {"ImageOpenWithLogMessagesBeforeItThreeTimes", "logbefore:stream:0x1b:times=3", S, ""},
    {"ImageOpenNeverAnsweredFails", "drop:stream:0x1b:every", F, "opening qcsblhd_cfgdata.mbn"},
    {"ImageWriteDroppedThreeTimesIsSentAgain", "drop:stream:0x07:nth=4:times=3", S, ""},
    {"ImageWriteWithLogMessagesBeforeItTwice", "logbefore:stream:0x07:nth=9:times=2", S, ""},
    {"ImageWriteAnswersAlwaysCorruptedAreTaken", "badcrc:stream:0x07:every", S, ""},
    {"ImageWriteAlwaysAnsweredWithLogMessagesFails", "loginstead:stream:0x07:every", F,
     "downloading qcsblhd_cfgdata.mbn"},
    {"LineHangsUpDuringAnImageWrite", "hangup:stream:0x07:nth=20", F, "downloading qcsbl.mbn"},
    {"ImageCloseAnswerLostCountsAsClosed", "lose:stream:0x15", S, ""},
    {"ImageCloseNeverAnsweredFailsThatImage", "drop:stream:0x15:every", F,
     "downloading qcsblhd_cfgdata.mbn"},
    {"ResetDroppedTwiceIsSentAgain", "drop:stream:0x0b:times=2", S, ""},
    {"ResetAnswerLostFailsThoughTheDeviceReset", "lose:stream:0x0b", F, kResetting},
    {"ResetNeverAnsweredFails", "drop:stream:0x0b:every", F, kResetting},
    // The return after the reset.
    {"DeviceBackLateButWithinTheWait", "", S, "", kLateReturn},
    {"DeviceNeverBackFailsTheWait", "", F, kWaitingReturn, kNoReturn},
    // Back, but what it runs cannot be read.
    {"BuildVersionAlwaysRefusedFailsTheCheckAfterTheReturn", "diagerr:diag:0x7c:every", F,
     kCheckingVersion},
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << (row.fault[0] ? row.fault : "no fault");
}

// Answers garbled, split, late, lost or cut off make the program take apart bytes it did not
// expect; a refused or missing answer does not. The sanitizer build runs these rows only.
bool garbles_answers(const Row& row) {
    const std::string fault = row.fault;
    for (const char* kind :
         {"badcrc:", "split:", "loginstead:", "logbefore:", "delay:", "lose:", "hangup:"}) {
        if (fault.rfind(kind, 0) == 0) return true;
    }
    return fault.empty();
}

class FaultMatrix : public ReliabilityRun, public ::testing::WithParamInterface<Row> {};

TEST_P(FaultMatrix, EndsAsStatedWithTheDeviceHoldingThePackageOrTheReasonTold) {
    const Row& row = GetParam();
    if (subset_only() && !garbles_answers(row)) GTEST_SKIP() << "not in the sanitizer subset";
    PackageDir package({});
    shrink(package);
    emu::Options options;
    if (row.setup & kNoReturn) options.return_after_reset = false;
    if (row.setup & kLateReturn) options.return_delay_ms = 9000;
    handles_may_stay_ = (row.setup & kHandlesMayStay) != 0;
    start_with_faults(
        row.fault[0] ? std::vector<std::string>{row.fault} : std::vector<std::string>{}, options);

    TimedRun run = timed_run(package);

    if (row.end == End::Success) {
        expect_success_end(package, run);
    } else {
        expect_failure_end(package, run, row.stage);
    }
    std::cout << "[ matrix ] " << row.name << " | " << (row.fault[0] ? row.fault : "-") << " | "
              << (row.end == End::Success ? "success" : std::string("failure: ") + row.stage)
              << " | " << run.took.count() << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
