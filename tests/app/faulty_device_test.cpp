// Whole windowless runs against a device that misbehaves: the run may only end in success when the
// device holds what the package holds, and a failure the device reports must end the run.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

constexpr const char* kErrorBox = "Download has error, please close program and see download.dbg\n";
constexpr int kEfsHello = 0;
constexpr int kEfsUnlink = 8;
constexpr int kEfsRmdir = 10;

// What an earlier firmware left in "/home": files, folders, a link, and a folder the package
// also has.
const std::vector<std::string> kStale = {"/home/old/stale.txt", "/home/old/deeper/older.bin",
                                         "/home/old/deeper",    "/home/old",
                                         "/home/stale.bin",     "/home/oldlink",
                                         "/home/www/stale.html"};

class FaultyDevice : public UpgradeRun {
  protected:
    // The device in normal mode with the faults, and the stale tree in its "/home".
    void start_with(const std::vector<std::string>& faults) {
        emu::Options options;
        for (const std::string& text : faults) {
            std::string error;
            auto fault = emu::Fault::parse(text, &error);
            ASSERT_TRUE(fault) << error;
            options.faults.push_back(*fault);
        }
        start_device(options);
        ASSERT_TRUE(device().efs_put_file("/home/old/stale.txt", {1, 2, 3}));
        ASSERT_TRUE(device().efs_put_file("/home/old/deeper/older.bin", {4}));
        ASSERT_TRUE(device().efs_put_file("/home/stale.bin", {5, 6}));
        ASSERT_TRUE(device().efs_put_link("/home/oldlink", "/bin/busybox"));
        ASSERT_TRUE(device().efs_put_file("/home/www/stale.html", {7}));
    }

    void expect_stale_gone() {
        for (const std::string& path : kStale)
            EXPECT_EQ(device().efs_type(path), emu::EfsType::None) << path << " is still there";
    }

    // A run that ends in success after copying the package's tree, without firmware.
    void expect_copy_only_success(const PackageDir& package, const RunResult& run) {
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.out, success_output(package.path()));
        EXPECT_NE(run.err.find("Copy file to device ok! Please restart device!"),
                  std::string::npos);
        expect_stale_gone();
        expect_copied(package);
    }

    // A run whose emptying of "/home" failed in every pass: nothing new was copied.
    void expect_emptying_failed(const PackageDir& package, const RunResult& run) {
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.err.find("Copy file to device fail!"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(kErrorBox), std::string::npos);
        expect_logged(package, {"error: del_dir(/home) fail\n"});
        EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B, kEfsHello), 10);
        EXPECT_EQ(device().efs_type("/image.iso"), emu::EfsType::None);
        EXPECT_EQ(device().efs_type("/home/etc"), emu::EfsType::None);
    }
};

// --- emptying "/home" ---------------------------------------------------------------------------

TEST_F(FaultyDevice, ListingAnsweredWithAnErrorOnceIsListedAgainInTheNextPass) {
    PackageDir package({});
    package.remove("VELMOR");
    // The first listing answer names "/home/old"; the second, inside it, is refused.
    start_with({"diagerr:diag:0x4b:efs=12:nth=2"});

    RunResult run = run_windowless(package);

    expect_copy_only_success(package, run);
    expect_logged(package, {"read_efs_dir: recv bad cmd error! \n", "error: read_efs_dir fail\n"});
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B, kEfsHello), 2);
}

TEST_F(FaultyDevice, ListingAlwaysAnsweredWithAnErrorFailsTheRun) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"diagerr:diag:0x4b:efs=12:every"});

    RunResult run = run_windowless(package);

    expect_emptying_failed(package, run);
    EXPECT_EQ(device().efs_file("/home/stale.bin"), (std::vector<std::uint8_t>{5, 6}));
}

TEST_F(FaultyDevice, RemovalsRefusedOnceAreTriedAgain) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"efs:diag:0x4b:efs=10:code=13", "efs:diag:0x4b:efs=8:code=13"});

    RunResult run = run_windowless(package);

    expect_copy_only_success(package, run);
    // Three stale folders, four stale files and a link, each refusal tried again at once.
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B, kEfsRmdir), 3 + 1);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B, kEfsUnlink), 5 + 1);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x4B, kEfsHello), 1);
}

TEST_F(FaultyDevice, FolderRemovalAlwaysRefusedFailsTheRun) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"efs:diag:0x4b:efs=10:code=13:every"});

    RunResult run = run_windowless(package);

    expect_emptying_failed(package, run);
    expect_logged(package, {"unlink_efs_dir: recv bad data error! \n",
                            "Error: unlink_efs_dir name = /home/old/deeper\n"});
    EXPECT_EQ(device().efs_type("/home/old/deeper"), emu::EfsType::Directory);
}

TEST_F(FaultyDevice, FileRemovalAlwaysRefusedFailsTheRun) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"efs:diag:0x4b:efs=8:code=13:every"});

    RunResult run = run_windowless(package);

    expect_emptying_failed(package, run);
    expect_logged(package, {"unlink_efs_file: recv bad cmd error! \n"});
    EXPECT_EQ(device().efs_file("/home/stale.bin"), (std::vector<std::uint8_t>{5, 6}));
}

// --- closes -------------------------------------------------------------------------------------

TEST_F(FaultyDevice, DroppedClosesAreSentAgainSoNoHandleStaysOpen) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"drop:diag:0x4b:efs=3", "drop:diag:0x4b:efs=13"});

    RunResult run = run_windowless(package);

    expect_copy_only_success(package, run);
    EXPECT_EQ(device().efs_open_handles(), 0);
}

TEST_F(FaultyDevice, ClosesWhoseAnswersAreLostCountAsDone) {
    PackageDir package({});
    package.remove("VELMOR");
    start_with({"lose:diag:0x4b:efs=3", "lose:diag:0x4b:efs=13"});

    RunResult run = run_windowless(package);

    expect_copy_only_success(package, run);
    expect_logged(package, {"close_efs_file: closed by an earlier attempt\n",
                            "close_efs_dir: closed by an earlier attempt\n"});
    EXPECT_EQ(device().efs_open_handles(), 0);
}

// --- the flash programmer refusing --------------------------------------------------------------

class RefusingProgrammer : public UpgradeRun {
  protected:
    // A run against a running flash programmer that ended at the partition table.
    void expect_stopped_at_partition_table(int status, const std::string& message) {
        PackageDir package({});
        emu::Options options;
        options.start_mode = emu::Mode::Stream;
        options.partition_status = status;
        start_device(options);

        RunResult run = run_windowless(package);

        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(kErrorBox), std::string::npos) << run.err;
        expect_logged(package, {message});
        EXPECT_EQ(device().request_count(emu::Mode::Stream, 0x19), 1);
        EXPECT_FALSE(device().partition_received());
        EXPECT_EQ(device().request_count(emu::Mode::Stream, 0x1B), 0);
        EXPECT_EQ(device().request_count(emu::Mode::Stream, 0x07), 0);
        for (int type : {2, 3, 4, 5})
            EXPECT_FALSE(device().flash_image(type)) << "image type " << type;
        EXPECT_EQ(device().request_count(emu::Mode::Stream, 0x0B), 0) << "no reset";
        EXPECT_FALSE(device().finished());
    }
};

TEST_F(RefusingProgrammer, PartitionTableWhoseEraseFailedEndsTheDownload) {
    expect_stopped_at_partition_table(3, "Partition table erase operation failed\n");
}

TEST_F(RefusingProgrammer, PartitionTableNotRecognizedEndsTheDownload) {
    expect_stopped_at_partition_table(
        2, "Partition table format not recognized, will not accept override\n");
}

TEST_F(RefusingProgrammer, RefusedImageOpenEndsTheDownloadAtThatImage) {
    // The programmer refuses the third image's open, opening nothing.
    PackageDir package({});
    emu::Options options;
    options.start_mode = emu::Mode::Stream;
    options.write_protected_type = 4;
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find(kErrorBox), std::string::npos) << run.err;
    const std::string log = package.log();
    EXPECT_NE(log.find("Send multi-image block 0 write protected fail\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("Download fail on addr"), std::string::npos) << "no write after the open";
    EXPECT_EQ(count_of(log, "Download OK and close now\n"), 2);
    for (int type : {2, 3}) {
        ASSERT_TRUE(device().flash_image(type)) << type;
        EXPECT_TRUE(device().flash_image(type)->closed) << type;
    }
    EXPECT_TRUE(device().flash_image(2)->data ==
                file_bytes(package.file("VELMOR/qcsblhd_cfgdata.mbn")));
    EXPECT_TRUE(device().flash_image(3)->data == file_bytes(package.file("VELMOR/qcsbl.mbn")));
    EXPECT_FALSE(device().flash_image(4));
    EXPECT_FALSE(device().flash_image(5));
    EXPECT_EQ(device().request_count(emu::Mode::Stream, 0x0B), 0) << "no reset";
}

// --- the switch to download mode ----------------------------------------------------------------

constexpr const char* kLookingLine =
    "switch dl mode: no good answer, looking for the device in download mode\n";

class SwitchAnswer : public UpgradeRun {
  protected:
    // A full road from normal mode whose switch request met the fault.
    void expect_full_road_despite(const std::string& fault) {
        PackageDir package({});
        emu::Options options;
        options.faults.push_back(*emu::Fault::parse(fault));
        start_device(options);

        RunResult run = run_windowless(package);

        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.out, success_output(package.path()));
        expect_logged(package, {kLookingLine, "Open in DLoad mode\n",
                                "Download reset ok, finish download\n"});
        EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 1);
        expect_copied(package);
        expect_programmer_loaded(package);
        expect_firmware_written(package);
        EXPECT_TRUE(device().wait_finished(std::chrono::seconds(10)));
        EXPECT_EQ(device().build_version(), "FW 1.0.1 B002");
    }
};

TEST_F(SwitchAnswer, LostOnceTheDeviceIsFoundInDownloadModeAllTheSame) {
    expect_full_road_despite("lose:diag:0x3a");
}

TEST_F(SwitchAnswer, CorruptedOnceTheDeviceIsFoundInDownloadModeAllTheSame) {
    expect_full_road_despite("badcrc:diag:0x3a");
}

// A device that says no to every switch request will not turn up in download mode: the run ends
// at once with its answer, without 13 s of looking for a download port.
TEST_F(SwitchAnswer, RefusedSwitchFailsAtOnceWithTheDevicesAnswer) {
    PackageDir package({});
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("diagerr:diag:0x3a:every"));
    start_device(options);

    RunResult run = run_windowless(package);

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find(kErrorBox), std::string::npos);
    EXPECT_NE(run.err.find("why: the device refused the switch to download mode: 0x13 0x3a\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("The run failed while switching to download mode.\n"),
              std::string::npos);
    const std::string log = package.log();
    EXPECT_EQ(log.find(kLookingLine), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "Couldn't find com port\n"), 0);
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x3A), 10);
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
    EXPECT_FALSE(device().go_address());
    expect_copied(package);
}

}  // namespace
}  // namespace apptest
