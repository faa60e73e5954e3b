// The copy-to-device job on real local trees against the emulated modem.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "copy/copy_job.h"
#include "diag/efs.h"
#include "tests/diag/efs_support.h"
#include "tests/support/recording_progress.h"

namespace {

namespace fs = std::filesystem;
using efs_test::EmulatedModem;
using efs_test::pattern_bytes;
using efs_test::write_file;

constexpr int kOpendir = 11;
constexpr int kMkdir = 9;

// What the device's folder should hold after the job: the local folder's files and folders, the
// links the ".link" names describe (given by the test), nothing else.
void expect_same_tree(emu::Emulator& device, const std::string& device_dir,
                      const std::string& local_dir,
                      const std::map<std::string, std::string>& links) {
    std::set<std::string> expected;
    for (const auto& entry : fs::directory_iterator(local_dir)) {
        const std::string name = entry.path().filename().string();
        const std::string device_path = device_dir + "/" + name;
        if (entry.is_directory()) {
            expected.insert(name);
            EXPECT_EQ(device.efs_type(device_path), emu::EfsType::Directory) << device_path;
            expect_same_tree(device, device_path, entry.path().string(), links);
        } else if (name.find(".link") == std::string::npos) {
            expected.insert(name);
            EXPECT_EQ(device.efs_type(device_path), emu::EfsType::File) << device_path;
            EXPECT_EQ(device.efs_file(device_path), efs_test::read_file(entry.path().string()))
                << device_path;
        }
    }
    for (const auto& [link, target] : links) {
        if (fs::path(link).parent_path().string() != device_dir) continue;
        expected.insert(fs::path(link).filename().string());
        EXPECT_EQ(device.efs_type(link), emu::EfsType::Link) << link;
        EXPECT_EQ(device.efs_link_target(link), target) << link;
    }
    const auto listed = device.efs_list(device_dir);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected) << device_dir;
}

// The device before the job: "/home" with old files, folders and a link, and "/router.conf".
std::string old_device_tree(const TempDir& dir, bool with_router_conf, bool with_home = true) {
    const std::string root = dir / "device";
    fs::create_directories(root);
    if (with_home) {
        write_file(root + "/home/old.txt", pattern_bytes(700, 1));
        write_file(root + "/home/oldfolder/deeper/file", pattern_bytes(3000, 2));
        fs::create_directories(root + "/home/oldfolder/empty");
        fs::create_directories(root + "/home/www");
        write_file(root + "/home/www/index.html", pattern_bytes(100, 3));
        fs::create_symlink("/bin/busybox", root + "/home/oldlink");
    }
    if (with_router_conf) write_file(root + "/router.conf", {'a', '=', '1', '\n'});
    write_file(root + "/etc/keep", {'k'});
    return root;
}

emu::Options options_with(const std::string& efs_root) {
    emu::Options options;
    options.efs_root = efs_root;
    return options;
}

class CopyJob : public ::testing::Test {
  protected:
    // The package folder the job is handed, with its '/'.
    std::string package() const { return program.path() + "/"; }
    void settings(const std::string& text) { std::ofstream(program / "settings.ini") << text; }
    // Nested folders, files of many sizes (empty ones too), hidden files, link descriptions in the
    // root and a subfolder, names that only look like link descriptions, a folder the device has.
    void local_tree() {
        const std::string home = program / "home";
        write_file(home + "/empty", {});
        write_file(home + "/one", {'1'});
        write_file(home + "/chunk", pattern_bytes(512, 4));
        write_file(home + "/chunk_and_one", pattern_bytes(513, 5));
        write_file(home + "/big.bin", pattern_bytes(5000, 6));
        write_file(home + "/.profile", pattern_bytes(40, 7));
        write_file(home + "/sh_bin_busybox.link", {});
        write_file(home + "/busybox.link", {});  // no '_': describes nothing
        write_file(home + "/x.linker.txt", {'x'});
        write_file(home + "/bin/ls_bin_busybox.link", {});
        write_file(home + "/bin/tool", pattern_bytes(1024, 8));
        write_file(home + "/www/index.html", pattern_bytes(2000, 9));
        write_file(home + "/www/css/site.css", pattern_bytes(300, 10));
        write_file(home + "/www/css/deep/er/empty.css", {});
        fs::create_directories(home + "/emptyfolder");
    }
    const std::map<std::string, std::string> kLinks = {{"/home/sh", "/bin/busybox"},
                                                       {"/home/bin/ls", "/bin/busybox"}};

    LogCapture log;
    TempDir program;
    TempDir device_dir;
    RecordingProgress dialog;
    int counter = 1;
};

TEST_F(CopyJob, ReplacesHomeWithTheLocalTreeAndCopiesTheImage) {
    settings("[id]\nreset=1\n");
    local_tree();
    const auto image = pattern_bytes(120000, 11);
    write_file(program / "image.iso", image);
    EmulatedModem modem(options_with(old_device_tree(device_dir, true)));

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), &dialog, &counter), 1);

    expect_same_tree(modem.device(), "/home", program / "home", kLinks);
    EXPECT_EQ(modem->efs_file("/image.iso"), image);
    EXPECT_EQ(modem->efs_type("/router.conf"), emu::EfsType::None);
    EXPECT_EQ(modem->efs_file("/etc/keep"), std::vector<std::uint8_t>{'k'});
    EXPECT_EQ(modem->efs_open_handles(), 0);
    EXPECT_EQ(modem.efs_requests(0), 1) << "one pass";
    EXPECT_EQ(dialog.statuses(),
              (std::vector<std::string>{"Copying iso file...", "Verifying iso file..."}));
    // The bar never goes back: the image's blocks follow the tree's.
    const std::vector<int> positions = dialog.positions();
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(counter, positions.back());
    EXPECT_GT(counter, 1 + 2 * transfer_cost(120000));
    const std::string text = log.text();
    EXPECT_EQ(text.find("fail"), std::string::npos) << text;
    EXPECT_NE(text.find("read_efs_dir name = /home/oldfolder\n"), std::string::npos);
    EXPECT_NE(text.find("read_efs_dir name = /home/oldfolder/deeper\n"), std::string::npos);
    EXPECT_NE(text.find("read_efs_symlink name = /home/oldlink\n"), std::string::npos);
}

// Two modems at once, each on a line of its own driven from a thread of its own: each gets the
// whole package, whatever the other's exchanges do meanwhile.
TEST_F(CopyJob, TwoModemsAtOnceEachGetTheWholePackage) {
    settings("[id]\nreset=1\n");
    local_tree();
    const auto image = pattern_bytes(120000, 11);
    write_file(program / "image.iso", image);
    TempDir second_dir;
    EmulatedModem first(options_with(old_device_tree(device_dir, true)));
    EmulatedModem second(options_with(old_device_tree(second_dir, true)));

    int copied[2] = {0, 0};
    auto copy = [this](EmulatedModem* modem, int* result) {
        int job_counter = 1;
        *result = copy_file_to_device(modem->line(), package(), nullptr, &job_counter);
    };
    std::thread one(copy, &first, &copied[0]);
    std::thread other(copy, &second, &copied[1]);
    one.join();
    other.join();

    EXPECT_EQ(copied[0], 1);
    EXPECT_EQ(copied[1], 1);
    for (EmulatedModem* modem : {&first, &second}) {
        expect_same_tree(modem->device(), "/home", program / "home", kLinks);
        EXPECT_EQ(modem->device().efs_file("/image.iso"), image);
        EXPECT_EQ(modem->device().efs_type("/router.conf"), emu::EfsType::None);
        EXPECT_EQ(modem->device().efs_file("/etc/keep"), std::vector<std::uint8_t>{'k'});
        EXPECT_EQ(modem->device().efs_open_handles(), 0);
        EXPECT_EQ(modem->efs_requests(0), 1) << "one pass each";
    }
    EXPECT_EQ(log.text().find("fail"), std::string::npos) << log.text();
}

TEST_F(CopyJob, ResetWithoutRouterConfFailsBeforeTouchingHome) {
    settings("[id]\nreset= 1\n");
    local_tree();
    EmulatedModem modem(options_with(old_device_tree(device_dir, false)));

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 0);

    EXPECT_EQ(modem->efs_type("/home/old.txt"), emu::EfsType::File);
    EXPECT_EQ(modem.efs_requests(0), 1);
    EXPECT_EQ(modem.efs_requests(kOpendir), 0);
    EXPECT_EQ(log.count("error: unlink_efs_file(/router.conf) fail\n"), 1);
}

TEST_F(CopyJob, ResetOtherThanOneLeavesRouterConf) {
    for (const char* value : {"reset=0\n", "reset=abc\n", "other=1\n", "reset=11\n"}) {
        settings(std::string("[id]\n") + value);
        TempDir fresh;
        EmulatedModem modem(options_with(old_device_tree(fresh, true)));

        EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 1) << value;

        EXPECT_EQ(modem->efs_type("/router.conf"), emu::EfsType::File) << value;
    }
}

TEST_F(CopyJob, WithoutHomeOrImageOnlyTheHelloAndResetRuleRun) {
    settings("[id]\nreset=1\n");
    EmulatedModem modem(options_with(old_device_tree(device_dir, true)));

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 1);

    EXPECT_EQ(modem->efs_type("/router.conf"), emu::EfsType::None);
    EXPECT_EQ(modem->efs_type("/home/old.txt"), emu::EfsType::File) << "/home is left alone";
    EXPECT_EQ(modem.efs_requests(), 2) << "hello and unlink";
    EXPECT_EQ(log.text(), "iso not found\n");
}

TEST_F(CopyJob, DroppedAnswerMidUploadIsRetried) {
    local_tree();
    EmulatedModem modem(options_with(old_device_tree(device_dir, false)));
    modem->add_fault(*emu::Fault::parse("drop:diag:0x4b:efs=5:nth=6"));

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 1);

    expect_same_tree(modem.device(), "/home", program / "home", kLinks);
    EXPECT_EQ(modem.efs_requests(0), 1) << "the retry stays within the pass";
}

TEST_F(CopyJob, DeviceWithoutHomeFailsAllTenPasses) {
    local_tree();
    EmulatedModem modem(options_with(old_device_tree(device_dir, false, false)));

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 0);

    EXPECT_EQ(modem.efs_requests(0), 10);
    EXPECT_EQ(modem.efs_requests(kOpendir), 100);
    EXPECT_EQ(modem.efs_requests(kMkdir), 0);
    const std::string text = log.text();
    EXPECT_EQ(log.count("error: del_dir(/home) fail\n"), 1);
    // The last pass's failure, then the reason the run gives.
    EXPECT_TRUE(text.ends_with(
        "error: del_dir(/home) fail\nthe device's /home could not be emptied in 10 passes\n"))
        << text.substr(text.size() - 100);
}

TEST_F(CopyJob, DeviceOutOfSpaceFailsTheJob) {
    local_tree();
    write_file(program / "home/huge.bin", pattern_bytes(9000, 12));
    emu::Options options = options_with(old_device_tree(device_dir, false));
    options.efs_capacity = 8192;
    EmulatedModem modem(options);

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), &dialog, &counter), 0);

    EXPECT_EQ(modem.efs_requests(0), 10);
    EXPECT_EQ(log.count("error: write_efs_file /home/huge.bin fail\n"), 10);
    EXPECT_EQ(log.count("error: find_dir(/home) fail\n"), 1);
    EXPECT_EQ(modem->efs_type("/image.iso"), emu::EfsType::None);
}

TEST_F(CopyJob, ImageTheDeviceHasNoRoomForFailsTheJob) {
    write_file(program / "image.iso", pattern_bytes(9000, 13));
    emu::Options options = options_with(old_device_tree(device_dir, false));
    options.efs_capacity = 8192;
    EmulatedModem modem(options);

    EXPECT_EQ(copy_file_to_device(modem.line(), package(), nullptr, &counter), 0);

    EXPECT_EQ(log.count("error: copy_iso write_efs_file fail\n"), 10);
    EXPECT_EQ(log.count("Error: copy iso file fail.\n"), 1);
}

class TreeCopy : public ::testing::Test {
  protected:
    LogCapture log;
    TempDir local;
    EmulatedModem modem;
};

TEST_F(TreeCopy, FolderTheDeviceHasIsKeptNotCreated) {
    ASSERT_TRUE(modem->efs_put_dir("/home/www"));
    ASSERT_TRUE(modem->efs_put_file("/home/www/old", {1}));
    write_file(local / "www/new", {2});

    EXPECT_EQ(find_dir(modem.line(), local.path().c_str(), "/home", nullptr, nullptr), 1);

    EXPECT_EQ(modem.efs_requests(kMkdir), 0);
    EXPECT_EQ(modem->efs_file("/home/www/old"), std::vector<std::uint8_t>{1});
    EXPECT_EQ(modem->efs_file("/home/www/new"), std::vector<std::uint8_t>{2});
}

TEST_F(TreeCopy, SymbolicLinksStayInsideTheTreeAndCannotLoop) {
    TempDir outside;
    write_file(outside / "secret", {'s'});
    write_file(local / "real/file", {'f'});
    fs::create_symlink(outside / "secret", local / "leak");
    fs::create_symlink(outside.path(), local / "leakdir");
    fs::create_symlink("real/file", local / "alias");
    fs::create_symlink("..", local / "real/up");  // a loop back to the root
    fs::create_symlink("nowhere", local / "dangling");

    EXPECT_EQ(find_dir(modem.line(), local.path().c_str(), "/home", nullptr, nullptr), 1);
    EXPECT_EQ(find_link(modem.line(), local.path().c_str(), "/home", nullptr, nullptr), 1);

    EXPECT_EQ(modem->efs_file("/home/real/file"), std::vector<std::uint8_t>{'f'});
    EXPECT_EQ(modem->efs_file("/home/alias"), std::vector<std::uint8_t>{'f'});
    EXPECT_EQ(modem->efs_type("/home/leak"), emu::EfsType::None);
    EXPECT_EQ(modem->efs_type("/home/leakdir"), emu::EfsType::None);
    EXPECT_EQ(modem->efs_type("/home/dangling"), emu::EfsType::None);
    EXPECT_EQ(modem->efs_type("/home/real/up"), emu::EfsType::None);
}

TEST_F(TreeCopy, PathTooLongForTheDeviceFailsInsteadOfBeingCut) {
    const std::string name(240, 'n');
    write_file(local / name, {1});

    EXPECT_EQ(find_dir(modem.line(), local.path().c_str(), "/home", nullptr, nullptr), 0);

    EXPECT_EQ(modem.efs_requests(), 0);
    EXPECT_EQ(log.count("create_efs_file: path too long error! /home/" + name + "\n"), 1);
}

TEST_F(TreeCopy, FileThatCannotBeSentIsClosedOnTheDevice) {
    write_file(local / "f", pattern_bytes(1500, 14));
    modem->add_fault(*emu::Fault::parse("badcrc:diag:0x4b:efs=5:every"));

    EXPECT_EQ(find_dir(modem.line(), local.path().c_str(), "/home", nullptr, nullptr), 0);

    EXPECT_EQ(modem.efs_requests(2), 1) << "a write that never got through is not tried again";
    EXPECT_EQ(modem->efs_open_handles(), 0);
}

TEST_F(TreeCopy, ListingThatFailsFailsTheEmptyingAndIsClosed) {
    ASSERT_TRUE(modem->efs_put_file("/home/a", {1}));
    ASSERT_TRUE(modem->efs_put_file("/home/b", {1}));
    ASSERT_TRUE(modem->efs_put_file("/home/c", {1}));
    modem->add_fault(*emu::Fault::parse("diagerr:diag:0x4b:efs=12:nth=2"));

    EXPECT_EQ(del_dir(modem.line(), "/home"), 0);

    EXPECT_EQ(modem->efs_open_handles(), 0);
    EXPECT_EQ(modem->efs_type("/home/c"), emu::EfsType::File);
    EXPECT_EQ(log.count("error: read_efs_dir fail\n"), 1);
}

TEST(RefusedRemoval, FailsTheEmptyingWhateverTheEntryAndClosesEveryListing) {
    struct Case {
        const char* fault;
        emu::EfsType type;
        const char* line;
    };
    // Each entry sits in a folder of its own, so that two listings are open when it is refused.
    const std::string stays = "/home/in/x";
    const Case cases[] = {
        {"efs:diag:0x4b:efs=8:code=13:every", emu::EfsType::File,
         "Error: unlink_efs_file name = /home/in/x\n"},
        {"efs:diag:0x4b:efs=8:code=13:every", emu::EfsType::Link,
         "Error: unlink_efs_symlink name = /home/in/x\n"},
        {"efs:diag:0x4b:efs=10:code=13:every", emu::EfsType::Directory,
         "Error: unlink_efs_dir name = /home/in/x\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        EmulatedModem modem;
        bool put = false;
        switch (c.type) {
            case emu::EfsType::File:
                put = modem->efs_put_file(stays, {1});
                break;
            case emu::EfsType::Link:
                put = modem->efs_put_link(stays, "/bin/busybox");
                break;
            default:
                put = modem->efs_put_dir(stays);
                break;
        }
        ASSERT_TRUE(put);
        modem->add_fault(*emu::Fault::parse(c.fault));

        EXPECT_EQ(del_dir(modem.line(), "/home"), 0) << c.line;

        EXPECT_EQ(modem->efs_type(stays), c.type) << c.line;
        EXPECT_EQ(modem->efs_open_handles(), 0) << c.line;
        EXPECT_EQ(log.count(c.line), 1) << log.text();
    }
}

TEST_F(TreeCopy, EmptyingAFolderKeepsTheFolderItself) {
    ASSERT_TRUE(modem->efs_put_file("/home/a", {1}));
    ASSERT_TRUE(modem->efs_put_dir("/home/b"));
    ASSERT_TRUE(modem->efs_put_file("/home/b/c", {1}));
    ASSERT_TRUE(modem->efs_put_file("/keep", {1}));

    EXPECT_EQ(del_dir(modem.line(), "/home"), 1);

    EXPECT_TRUE(modem->efs_list("/home").empty());
    EXPECT_EQ(modem->efs_type("/home"), emu::EfsType::Directory);
    EXPECT_EQ(modem->efs_type("/keep"), emu::EfsType::File);
}

}  // namespace
