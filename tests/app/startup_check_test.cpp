// The start-up device check in this process, against the emulated device in each of its modes and
// against the ports the package's settings name: what the information line says and whether Start
// is offered.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/device_return.h"
#include "app/session.h"
#include "app/upgrade.h"
#include "base/settings.h"
#include "link/serial_port.h"
#include "tests/app/upgrade_fixture.h"

namespace apptest {
namespace {

constexpr const char* kResumeInfo =
    "Device is in download mode: Start resumes the firmware download.";
constexpr const char* kDiagPort = "USB\\VID_05C6&PID_9003&MI_00";
constexpr const char* kDownloadPort = "USB\\VID_05C6&PID_9100";

// Every text the check writes to the information line, in order.
class InfoLine : public Progress {
  public:
    void set_progress(int) override {}
    void set_status(const std::string&) override {}
    void set_info(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

class StartupCheck : public UpgradeRun {
  protected:
    // The check as the program runs it with the package's folder as its own; the log goes there.
    int check(const PackageDir& package) {
        set_program_folder_override(package.path() + "/");
        setenv("XDG_DOCUMENTS_DIR", package.path().c_str(), 1);
        Session session;
        init_globals(session);
        int offered = startup_device_check(session, &info_);
        port_left_open_ = session.line.port->IsOpen();
        app_cleanup(session);
        set_program_folder_override("");
        return offered;
    }

    // The log after its first block, which every log opens with.
    static std::string after_first_block(const std::string& log) {
        EXPECT_EQ(log.rfind("fwupgrade ", 0), 0u) << log;
        const std::size_t sealed = log.find("\nsealed: ");
        if (sealed == std::string::npos) return log;
        const std::size_t end = log.find('\n', sealed + 1);
        return end == std::string::npos ? "" : log.substr(end + 1);
    }

    void start_in(emu::Mode mode) {
        emu::Options options;
        options.start_mode = mode;
        start_device(options);
    }

    InfoLine info_;
    bool port_left_open_ = true;
};

TEST_F(StartupCheck, BootDownloaderIsOfferedTheResumedDownload) {
    PackageDir package({});
    start_in(emu::Mode::Dload);
    EXPECT_EQ(check(package), 1);
    EXPECT_EQ(info_.texts, std::vector<std::string>{kResumeInfo});
    EXPECT_FALSE(port_left_open_);
    EXPECT_NE(package.log().find("Open in DLoad mode\n"), std::string::npos) << package.log();
}

TEST_F(StartupCheck, FlashProgrammerIsOfferedTheResumedDownload) {
    PackageDir package({});
    start_in(emu::Mode::Stream);
    EXPECT_EQ(check(package), 1);
    EXPECT_EQ(info_.texts, std::vector<std::string>{kResumeInfo});
    EXPECT_FALSE(port_left_open_);
}

TEST_F(StartupCheck, SavedownloadPortsAreSearchedWhenNoDownloadPortMatches) {
    PackageDir package(
        {std::string("download0=") + kForeignPort, std::string("savedownload0=") + kDownloadPort});
    start_in(emu::Mode::Dload);
    EXPECT_EQ(check(package), 1);
    EXPECT_EQ(info_.texts, std::vector<std::string>{kResumeInfo});
    const std::string log = package.log();
    EXPECT_NE(log.find("type = 2\n"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "Couldn't find com port\n"), 2) << log;
}

TEST_F(StartupCheck, DownloadModeDeviceOnTheDiagPortLeavesTheInformationLineEmpty) {
    // The settings of some packages name the download port as a diag port too.
    PackageDir package({std::string("diag0=") + kDownloadPort});
    start_in(emu::Mode::Dload);
    EXPECT_EQ(check(package), 1);
    EXPECT_TRUE(info_.texts.empty());
    EXPECT_FALSE(port_left_open_);
}

TEST_F(StartupCheck, NormalModeDeviceOnADownloadPortShowsItsVersion) {
    PackageDir package(
        {std::string("diag0=") + kForeignPort, std::string("download0=") + kDiagPort});
    start_in(emu::Mode::Diag);
    EXPECT_EQ(check(package), 1);
    EXPECT_EQ(info_.texts,
              std::vector<std::string>{
                  "Device current version is FW 1.0.0 B001, will be upgraded to B002"});
    EXPECT_FALSE(port_left_open_);
}

TEST_F(StartupCheck, SilentDeviceOnADownloadPortIsNotInDiagMode) {
    PackageDir package(
        {std::string("diag0=") + kForeignPort, std::string("download0=") + kDiagPort});
    emu::Fault silence;
    silence.kind = emu::FaultKind::Drop;
    silence.mode = emu::Mode::Diag;
    silence.times = 0;
    emu::Options options;
    options.faults = {silence};
    start_device(options);
    EXPECT_EQ(check(package), 0);
    EXPECT_EQ(info_.texts, std::vector<std::string>{"Warning: not in diag mode!"});
    EXPECT_FALSE(port_left_open_);
}

TEST_F(StartupCheck, MissingSettingsFileIsNamedAndNoPortIsSearched) {
    PackageDir package({});
    package.remove("settings.ini");
    start_in(emu::Mode::Diag);
    EXPECT_EQ(check(package), 0);
    const std::string message = "Error: Can't find settings.ini in " + package.path() + "/";
    EXPECT_EQ(info_.texts, std::vector<std::string>{message});
    EXPECT_EQ(after_first_block(package.log()), message + "\n");
    EXPECT_NE(package.log().find("\npackage folder: " + package.path() +
                                 "/\nsettings.ini: none in the package folder\n"),
              std::string::npos)
        << package.log();
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x00), 0);
}

// A settings file that names no port once showed "Can't find device!" with the modem plugged in.
TEST_F(StartupCheck, RefusedSettingsAreNamedAndNoPortIsSearched) {
    PackageDir package({"idnum=0"});
    start_in(emu::Mode::Diag);
    EXPECT_EQ(check(package), 0);
    const std::string message = "settings.ini: idnum is 0, so no port of the device can be found";
    EXPECT_EQ(info_.texts, std::vector<std::string>{message});
    EXPECT_EQ(after_first_block(package.log()), message + "\n");
    EXPECT_EQ(device().request_count(emu::Mode::Diag, 0x00), 0);
}

}  // namespace
}  // namespace apptest
