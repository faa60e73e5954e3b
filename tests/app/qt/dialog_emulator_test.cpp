// The dialog with the real program core against the emulated device on the mocked USB bus: what a
// user sees from the prompt to the end of a run, a failed run and a second one, and closing the
// dialog in the middle of a download.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/qt/upgrade_window.h"
#include "app/upgrade.h"
#include "base/settings.h"
#include "emulator/emulator.h"
#include "res/resource.h"
#include "testbed/child_process.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/modem_bench.h"
#include "testbed/preload.h"
#include "testbed/testbed.h"
#include "tests/app/qt/dialog_test_support.h"

using dialog_test::BoxRecorder;
using dialog_test::wait_until;

namespace {

namespace fs = std::filesystem;

const QString kPrompt = QStringLiteral("Do you want to upgrade firmware?\n");
const QString kOk = QStringLiteral("Download ok\n");
const QString kError =
    QStringLiteral("Download has error, please close program and see download.dbg\n");
constexpr int kRunLimitMs = 90000;
// A dialog closed during a check is gone within this, whatever the device does.
constexpr int kPromptCloseMs = 3000;

template <typename T>
T* control(UpgradeWindow& window, int id) {
    return window.findChild<T*>(QString::number(id));
}

// Each of parts appears in texts, in this order (an entry may carry more after the part, as the
// percentages of an image download do).
::testing::AssertionResult in_order(const QStringList& texts, const QStringList& parts) {
    qsizetype at = 0;
    for (const QString& part : parts) {
        while (at < texts.size() && !texts[at].startsWith(part))
            ++at;
        if (at == texts.size())
            return ::testing::AssertionFailure()
                   << "missing or out of order: " << part.toStdString()
                   << "\nseen: " << texts.join(" | ").toStdString();
        ++at;
    }
    return ::testing::AssertionSuccess();
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// A sample package beside a "program folder", the emulated device on the mocked bus, the Qt boxes
// answered by the test, and the dialog with its device monitor.
class DialogRun : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("dialog-run-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        const testbed::ChildResult tool =
            testbed::run_child({SAMPLE_PACKAGE_TOOL, folder_.string()}, 60000);
        ASSERT_TRUE(tool.finished && tool.exit_status == 0) << tool.output;
        set_program_folder_override(folder_.string() + "/");
        setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);  // download.dbg goes here
        set_message_boxes(&qt_boxes_);
    }

    void TearDown() override {
        window_.reset();
        // Every run, whatever its end, closes what it opened on the device.
        if (emulator_) {
            EXPECT_EQ(emulator_->efs_open_handles(), 0) << "EFS handles left open";
            emulator_->stop();
        }
        emulator_.reset();
        usb_.reset();
        set_message_boxes(nullptr);
        set_program_folder_override("");
        fs::remove_all(folder_);
    }

    void start_device(emu::Options options = {}) {
        usb_ = std::make_unique<testbed::MockedUsbDevice>();
        options.provider = usb_.get();
        emulator_ = std::make_unique<emu::Emulator>(options);
        ASSERT_TRUE(emulator_->start()) << emulator_->error();
    }

    // The dialog as run_dialog makes it, with recorders on the status line, the bar and the clock.
    void open_dialog() {
        window_ = std::make_unique<UpgradeWindow>(DialogShell::product(session_),
                                                  DeviceMonitor::create());
        UpgradeWindow& window = *window_;
        QObject::connect(&window, &UpgradeWindow::status_shown,
                         [this](const QString& text) { statuses_ << text; });
        QObject::connect(control<QProgressBar>(window, IDC_PROGRESS), &QProgressBar::valueChanged,
                         [this](int value) { positions_.push_back(value); });
        QObject::connect(window.findChild<QTimer*>(QString::number(ID_TIMER_CLOCK)),
                         &QTimer::timeout,
                         [this] { clock_ << control<QLabel>(*window_, IDC_CLOCK)->text(); });
        window.start_up();
        window.show();
    }

    QString info() { return control<QLabel>(*window_, IDC_INFO)->text(); }
    QPushButton* start_button() { return control<QPushButton>(*window_, IDC_START); }
    std::string log() {
        std::ifstream in(folder_ / "download.dbg", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path folder_;
    Session session_;  // outlives the dialog, which works on it
    QtMessageBoxes qt_boxes_;
    BoxRecorder boxes_;
    std::unique_ptr<testbed::MockedUsbDevice> usb_;
    std::unique_ptr<emu::Emulator> emulator_;
    std::unique_ptr<UpgradeWindow> window_;
    QStringList statuses_;
    std::vector<int> positions_;
    QStringList clock_;
};

TEST_F(DialogRun, FullRunFromThePromptToTheProgramEnding) {
    start_device();
    QString info_at_prompt;
    int position_at_ok_box = -1;
    int range_at_ok_box = -1;
    QString status_at_ok_box;
    QString info_at_ok_box;
    // For the documentation: the dialog while the firmware image is written, and at the end.
    const char* screenshot = std::getenv("FWUP_DIALOG_SCREENSHOT");
    const char* end_screenshot = std::getenv("FWUP_DIALOG_SCREENSHOT_END");
    bool shot_taken = false;
    bool end_shot_taken = false;
    boxes_.while_open = [&](const BoxRequest& box) {
        if (box.text == kPrompt) info_at_prompt = info();
        if (box.text == kOk) {
            position_at_ok_box = control<QProgressBar>(*window_, IDC_PROGRESS)->value();
            range_at_ok_box = control<QProgressBar>(*window_, IDC_PROGRESS)->maximum();
            status_at_ok_box = control<QLabel>(*window_, IDC_STATUS)->text();
            info_at_ok_box = info();
            if (end_screenshot)
                end_shot_taken = window_->grab().save(QString::fromLocal8Bit(end_screenshot));
        }
    };
    open_dialog();
    if (screenshot) {
        // Once the image has moved the bar a few percent, so that the shot shows it moving.
        QProgressBar* bar = control<QProgressBar>(*window_, IDC_PROGRESS);
        int percent_at_image = -1;
        QObject::connect(bar, &QProgressBar::valueChanged, [&, bar](int value) {
            if (shot_taken ||
                !control<QLabel>(*window_, IDC_STATUS)->text().startsWith("Downloading amss.mbn"))
                return;
            const int percent = static_cast<int>(100LL * value / std::max(1, bar->maximum()));
            if (percent_at_image < 0) percent_at_image = percent;
            if (percent >= percent_at_image + 3)
                shot_taken = window_->grab().save(QString::fromLocal8Bit(screenshot));
        });
    }

    ASSERT_TRUE(wait_until([&] { return window_->closed(); }, kRunLimitMs))
        << statuses_.join(" | ").toStdString();

    ASSERT_EQ(boxes_.count(), 2u);
    EXPECT_EQ(boxes_.seen()[0].request.text, kPrompt);
    EXPECT_EQ(boxes_.seen()[1].request.text, kOk);
    EXPECT_EQ(boxes_.seen()[1].request.icon, QMessageBox::Information);
    EXPECT_TRUE(
        info_at_prompt.startsWith("Device current version is FW 1.0.0 B001, will be upgraded to "))
        << info_at_prompt.toStdString();
    EXPECT_TRUE(in_order(
        statuses_,
        {"Finding device...", "Copying file to device...", "Going to download mode...",
         "Loading download code...", "Loading download code ok...", "Downloading partition.mbn...",
         "Downloading qcsblhd_cfgdata.mbn...", "Downloading qcsbl.mbn...",
         "Downloading oemsblhd.mbn...", "Downloading oemsbl.mbn...", "Downloading amsshd.mbn...",
         "Downloading amss.mbn...", "Resetting device...", "Download ok!"}));
    EXPECT_EQ(statuses_.last(), "Download ok!");
    // The box sits over lines that agree with it: no unplug warning, no "Finding device...".
    EXPECT_EQ(status_at_ok_box, "Download ok!");
    EXPECT_EQ(info_at_ok_box.toStdString(),
              "Device now runs version FW 1.0.1 B002. Log: " + (folder_ / "download.dbg").string());

    // The bar rose through the run, never went back, and was full when the run succeeded: its
    // range is the ticks this package makes, not the fixed 185.
    ASSERT_FALSE(positions_.empty());
    EXPECT_GT(positions_.size(), 20u);
    EXPECT_TRUE(std::is_sorted(positions_.begin(), positions_.end()));
    EXPECT_NE(range_at_ok_box, 185);
    EXPECT_EQ(position_at_ok_box, range_at_ok_box);
    EXPECT_EQ(positions_.back(), range_at_ok_box);

    // The clock ticked from 00:01 on and stopped before the success box.
    ASSERT_GE(clock_.size(), 2);
    EXPECT_EQ(clock_[0], "00:01");
    EXPECT_EQ(clock_[1], "00:02");
    EXPECT_FALSE(window_->findChild<QTimer*>(QString::number(ID_TIMER_CLOCK))->isActive());

    EXPECT_TRUE(emulator_->finished());
    EXPECT_EQ(emulator_->build_version(), "FW 1.0.1 B002");
    EXPECT_FALSE(window_->isVisible());
    EXPECT_FALSE(worker_running(session_));
    EXPECT_EQ(last_run_succeeded(session_), 1);
    EXPECT_TRUE(shot_taken || !screenshot);
    EXPECT_TRUE(end_shot_taken || !end_screenshot);
}

TEST_F(DialogRun, FailedRunEnablesStartAndTheSecondRunsClockGoesOn) {
    emu::Options options;
    // Every file-system request fails on the device: the copy fails.
    options.faults.push_back(*emu::Fault::parse("efs:diag:0x4b:times=0"));
    start_device(options);
    open_dialog();

    ASSERT_TRUE(wait_until([&] { return boxes_.saw(kError); }, kRunLimitMs))
        << statuses_.join(" | ").toStdString();
    ASSERT_TRUE(
        wait_until([&] { return !worker_running(session_) && start_button()->isEnabled(); }));
    EXPECT_TRUE(in_order(statuses_, {"Finding device...", "Copying file to device..."}));
    EXPECT_FALSE(statuses_.contains("Going to download mode..."));
    EXPECT_EQ(statuses_.last(), "Failed while copying files to the device");
    EXPECT_FALSE(window_->closed());
    const int reached = window_->elapsed_seconds;
    const qsizetype first_ticks = clock_.size();
    EXPECT_EQ(last_run_succeeded(session_), 0);

    emulator_->clear_faults();
    start_button()->click();
    ASSERT_TRUE(wait_until([&] { return clock_.size() > first_ticks; }));
    EXPECT_EQ(clock_[first_ticks],
              QString::asprintf("%02d:%02d", (reached + 1) / 60, (reached + 1) % 60));
    ASSERT_TRUE(wait_until([&] { return window_->closed(); }, kRunLimitMs))
        << statuses_.join(" | ").toStdString();
    EXPECT_EQ(boxes_.seen().back().request.text, kOk);
    EXPECT_EQ(boxes_.count(), 3u);  // prompt, error, ok
    EXPECT_GT(window_->elapsed_seconds, reached);
}

TEST_F(DialogRun, StartDuringARunStartsNothing) {
    start_device();
    open_dialog();
    ASSERT_TRUE(
        wait_until([&] { return statuses_.contains("Copying file to device..."); }, kRunLimitMs));
    // A Start that reaches the dialog anyway (the prompt's OK after Start comes the same way).
    start_button()->setEnabled(true);
    start_button()->click();
    start_button()->click();
    ASSERT_TRUE(wait_until([&] { return window_->closed(); }, kRunLimitMs));
    EXPECT_EQ(statuses_.count("Finding device..."), 2);  // the run's start and after the reset
    EXPECT_EQ(boxes_.count(), 2u);
    EXPECT_TRUE(emulator_->finished());
}

TEST_F(DialogRun, ClosingDuringTheDownloadStopsTheWorkerBeforeThePortIsReleased) {
    start_device();
    open_dialog();
    ASSERT_TRUE(wait_until([&] { return statuses_.filter("Downloading amss.mbn...").size() > 2; },
                           kRunLimitMs))
        << statuses_.join(" | ").toStdString();
    boxes_.queue_answer(QMessageBox::Yes);
    window_->close();
    ASSERT_TRUE(wait_until([&] { return window_->closed(); }));

    // The prompt, the question, then where the stop left the modem; no error box after the stop.
    ASSERT_EQ(boxes_.count(), 3u);
    EXPECT_EQ(boxes_.seen()[1].request.icon, QMessageBox::Warning);
    EXPECT_EQ(boxes_.seen()[2].request.text.toStdString(),
              "The modem is in download mode: start the upgrade again to finish the firmware "
              "download\n");
    EXPECT_EQ(boxes_.seen()[2].request.buttons, QMessageBox::Ok);
    EXPECT_FALSE(worker_running(session_));
    EXPECT_EQ(last_run_succeeded(session_), 0);
    EXPECT_FALSE(emulator_->finished());  // the reset was never sent
    // The log was closed after the worker's last words and the reason of the end, so they are on
    // disk.
    EXPECT_NE(log().find("Stopped by the user\nThe modem is in download mode: start the upgrade "
                         "again to finish the firmware download\n"),
              std::string::npos)
        << log();
}

// A modem that does not answer keeps the start-up check busy for many seconds: the window is on
// the screen meanwhile, and closing it does not wait for the check to give up on the device.
TEST_F(DialogRun, WindowIsUpWhileAMuteDeviceIsCheckedAndClosesWithoutWaiting) {
    emu::Options options;
    options.faults.push_back(*emu::Fault::parse("drop:diag:any:every"));
    start_device(options);
    open_dialog();
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(window_->checking());
    EXPECT_EQ(info(), "Looking for the device...");
    EXPECT_FALSE(start_button()->isEnabled());
    // The check has found the port and is asking the device.
    ASSERT_TRUE(wait_until([&] { return log().find("Find my com name") != std::string::npos; }));
    EXPECT_TRUE(window_->checking());
    window_->close();
    EXPECT_FALSE(window_->isVisible());
    // The check would ask the mute device for about 20 s more.
    ASSERT_TRUE(wait_until([&] { return window_->closed(); }, kPromptCloseMs));
    EXPECT_EQ(boxes_.count(), 0u);
    EXPECT_FALSE(emulator_->finished());
}

TEST_F(DialogRun, ModemPluggedInAfterTheStartIsOfferedTheUpgrade) {
    boxes_.queue_answer(QMessageBox::Cancel);
    open_dialog();
    ASSERT_TRUE(wait_until([&] { return !window_->checking(); }));
    EXPECT_EQ(info(), "Error: Can't find device!");
    EXPECT_FALSE(start_button()->isEnabled());

    start_device();
    ASSERT_TRUE(wait_until([&] { return boxes_.saw(kPrompt); }, kRunLimitMs))
        << info().toStdString() << "\n"
        << log();
    EXPECT_TRUE(info().startsWith("Device current version is FW 1.0.0 B001, will be upgraded to "))
        << info().toStdString();
    EXPECT_TRUE(start_button()->isEnabled());
    // The log of the start-up was kept going, not opened anew.
    const std::string text = log();
    const std::size_t opened = text.find("Open in DIAG mode\n");
    ASSERT_NE(opened, std::string::npos) << text;
    EXPECT_GE(count_of(text.substr(0, opened), "Couldn't find com port\n"), 3) << text;
    for (const auto& entry : fs::directory_iterator(folder_))
        EXPECT_NE(entry.path().filename().string().rfind("download-", 0), 0u) << entry.path();
}

// Two modems of the package on the bench: the dialog waits for a choice, and the run it starts
// then upgrades the chosen one, following it through its re-enumerations, and sends the other
// nothing.
TEST_F(DialogRun, ChosenOfTwoModemsIsUpgradedAndTheOtherReceivesNoRequest) {
    using namespace std::chrono_literals;
    testbed::ModemBench bench;
    for (const char* hub : {"1-1.1", "1-1.2"}) {
        testbed::MockedUsbDeviceOptions usb;
        usb.hub_port = hub;
        usb.serial = std::string("EMU-") + hub;
        ASSERT_TRUE(bench.plug({}, usb)) << bench.error();
        ASSERT_TRUE(bench.modem(bench.size() - 1).wait_for(emu::Mode::Diag, 10s));
    }
    open_dialog();
    auto* chooser = control<QComboBox>(*window_, IDC_MODEM);
    ASSERT_TRUE(wait_until([&] { return !window_->checking() && chooser->count() == 2; }));
    EXPECT_TRUE(chooser->isVisible());
    EXPECT_EQ(chooser->currentIndex(), -1);
    EXPECT_FALSE(start_button()->isEnabled());
    EXPECT_EQ(info(), "2 modems of this package are plugged in: choose the one to upgrade");
    const int second = chooser->findText("1-1.2, serial EMU-1-1.2, normal mode");
    ASSERT_GE(second, 0);

    chooser->setCurrentIndex(second);  // the prompt that follows is answered Ok
    ASSERT_TRUE(wait_until([&] { return window_->closed(); }, kRunLimitMs))
        << statuses_.join(" | ").toStdString() << "\n"
        << log();
    ASSERT_EQ(boxes_.count(), 2u);
    EXPECT_EQ(boxes_.seen()[0].request.text, kPrompt);
    EXPECT_EQ(boxes_.seen()[1].request.text, kOk);
    EXPECT_TRUE(bench.modem(1).finished());
    EXPECT_EQ(bench.modem(1).build_version(), "FW 1.0.1 B002");
    EXPECT_EQ(bench.modem(0).requests_received(), 0);
    EXPECT_EQ(bench.modem(0).build_version(), "FW 1.0.0 B001");
    window_.reset();
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    // The dialog's device monitor must hear the mocked bus, which therefore comes first.
    if (testbed::under_preload()) testbed::Testbed::instance();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
