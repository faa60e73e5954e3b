#include "tests/app/upgrade_fixture.h"

#include <filesystem>
#include <iostream>

namespace apptest {

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& path) {
    std::vector<unsigned char> raw = file_bytes(path);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

}  // namespace

void UpgradeRun::TearDown() {
    // Whatever way a run ended, every file and listing it opened on the device is closed again: a
    // handle left open stays taken until the device restarts.
    if (emulator_ && !handles_may_stay_) {
        EXPECT_EQ(emulator_->efs_open_handles(), 0) << "EFS handles left open on the device";
    }
    if (HasFailure()) {
        // The end of the log tells what the program met.
        std::size_t keep = 8000;
        std::size_t from = last_log_.size() > keep ? last_log_.size() - keep : 0;
        std::cerr << "--- program output ---\n"
                  << last_output_ << "--- end of download.dbg ---\n"
                  << last_log_.substr(from) << "---\n";
    }
    for (auto* emulator : {&emulator_, &second_emulator_}) {
        if (*emulator) (*emulator)->stop();
        emulator->reset();
    }
    usb_.reset();
    second_usb_.reset();
}

void UpgradeRun::start_device(emu::Options options, testbed::MockedUsbDeviceOptions usb) {
    usb_ = std::make_unique<testbed::MockedUsbDevice>(usb);
    options.provider = usb_.get();
    emulator_ = std::make_unique<emu::Emulator>(options);
    ASSERT_TRUE(emulator_->start()) << emulator_->error();
}

void UpgradeRun::start_second_device(emu::Options options, testbed::MockedUsbDeviceOptions usb) {
    second_usb_ = std::make_unique<testbed::MockedUsbDevice>(usb);
    options.provider = second_usb_.get();
    second_emulator_ = std::make_unique<emu::Emulator>(options);
    ASSERT_TRUE(second_emulator_->start()) << second_emulator_->error();
}

RunResult UpgradeRun::run_windowless(const PackageDir& package, const RunOptions& options) {
    RunResult result = run_program(package, options);
    last_output_ = result.out + result.err;
    last_log_ = package.log();
    return result;
}

RunResult UpgradeRun::run_windowless(const ProgramDir& program, const RunOptions& options) {
    RunResult result = run_program(program, options);
    last_output_ = result.out + result.err;
    last_log_ = program.log();
    return result;
}

void UpgradeRun::expect_logged(const PackageDir& package,
                               const std::vector<std::string>& messages) {
    std::string log = package.log();
    for (const std::string& message : messages)
        EXPECT_NE(log.find(message), std::string::npos) << "not logged: " << message;
}

void UpgradeRun::expect_copied(const PackageDir& package) {
    const fs::path home = package.file("home");
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        if (!entry.is_regular_file()) continue;
        std::string relative = fs::relative(entry.path(), home).string();
        if (relative.find(".link") != std::string::npos) {
            EXPECT_EQ(device().efs_type("/home/" + relative), emu::EfsType::None) << relative;
            continue;
        }
        auto held = device().efs_file("/home/" + relative);
        ASSERT_TRUE(held) << "/home/" << relative << " missing on the device";
        EXPECT_TRUE(*held == bytes_of(entry.path().string())) << "/home/" << relative;
        ++files;
    }
    EXPECT_GE(files, 5);
    EXPECT_EQ(device().efs_link_target("/home/sh"), "/bin/busybox");
    EXPECT_EQ(device().efs_link_target("/home/www/cgi"), "/usr/lib/cgi");
    EXPECT_EQ(device().efs_link_target("/home/etc/config/resolv"), "/tmp/resolv");
    auto iso = device().efs_file("/image.iso");
    ASSERT_TRUE(iso);
    EXPECT_TRUE(*iso == bytes_of(package.file("image.iso")));
}

void UpgradeRun::expect_nothing_copied() {
    EXPECT_EQ(device().efs_type("/image.iso"), emu::EfsType::None);
    EXPECT_TRUE(device().efs_list("/home").empty());
}

void UpgradeRun::expect_nothing_sent() {
    // Version, build version, boot downloader NOP, programmer hello, file system, switch.
    for (int command : {0x00, 0x7C, 0x06, 0x01, 0x4B, 0x3A})
        EXPECT_EQ(device().request_count(emu::Mode::Diag, command), 0) << "command " << command;
    EXPECT_EQ(device().mode(), emu::Mode::Diag);
}

void UpgradeRun::expect_programmer_loaded(const PackageDir& package) {
    std::vector<std::uint8_t> programmer = bytes_of(package.file("expected/programmer.bin"));
    ASSERT_FALSE(programmer.empty());
    EXPECT_TRUE(device().ram(kProgrammerBase, programmer.size()) == programmer);
    EXPECT_EQ(device().go_address(), kProgrammerBase);
}

void UpgradeRun::expect_firmware_written(const PackageDir& package) {
    EXPECT_EQ(device().partition_received(), bytes_of(package.file("VELMOR/partition.mbn")));
    struct Expected {
        int type;
        const char* image;
        const char* header;
    } images[] = {{2, "qcsblhd_cfgdata.mbn", nullptr},
                  {3, "qcsbl.mbn", nullptr},
                  {4, "oemsbl.mbn", "oemsblhd.mbn"},
                  {5, "amss.mbn", "amsshd.mbn"}};
    for (const Expected& e : images) {
        auto written = device().flash_image(e.type);
        ASSERT_TRUE(written) << "image type " << e.type;
        EXPECT_TRUE(written->data == bytes_of(package.file(std::string("VELMOR/") + e.image)))
            << e.image;
        std::vector<std::uint8_t> header;
        if (e.header) header = bytes_of(package.file(std::string("VELMOR/") + e.header));
        EXPECT_TRUE(written->header == header) << "header of type " << e.type;
        EXPECT_TRUE(written->closed) << e.image;
    }
}

}  // namespace apptest
