// The dialog on its own: a scripted core stands in for the upgrade worker, so that every step of
// the dialog's side (prompt, Start, clock, boxes from the worker's thread, closing during a run)
// can be driven and observed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/device_return.h"
#include "app/package_folder.h"
#include "app/qt/dialog_units.h"
#include "app/qt/folder_browser.h"
#include "app/qt/upgrade_window.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/settings.h"
#include "res/resource.h"
#include "tests/app/qt/dialog_test_support.h"
#include "tests/support/scripted_core.h"
#include "tests/support/temp_dir.h"

using dialog_test::BoxRecorder;
using dialog_test::wait_until;

namespace {

const QString kPrompt = QStringLiteral("Do you want to upgrade firmware?\n");
const QString kError =
    QStringLiteral("Download has error, please close program and see download.dbg\n");
const QString kOk = QStringLiteral("Download ok\n");

template <typename T>
T* control(UpgradeWindow& window, int id) {
    return window.findChild<T*>(QString::number(id));
}

QString clock_text(UpgradeWindow& window) {
    return control<QLabel>(window, IDC_CLOCK)->text();
}

class DialogWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        QtMessageBoxes* boxes = &qt_boxes_;
        set_message_boxes(boxes);
    }
    void TearDown() override { set_message_boxes(nullptr); }

    QtMessageBoxes qt_boxes_;
    BoxRecorder boxes_;
    ScriptedCore core_;
};

// ---- the control set ----

TEST_F(DialogWindow, HasTheControlSetWithItsIdentifiersTextsAndVisibility) {
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();

    EXPECT_EQ(window.windowTitle(), "Firmware Upgrade Tool");

    auto* progress = control<QProgressBar>(window, IDC_PROGRESS);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->minimum(), 0);
    EXPECT_EQ(progress->maximum(), 185);
    EXPECT_TRUE(progress->isTextVisible());
    EXPECT_EQ(progress->text(), "0%");
    EXPECT_TRUE(progress->isVisible());

    auto* start = control<QPushButton>(window, IDC_START);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->text(), "Start ");
    EXPECT_TRUE(start->isVisible());

    auto* browse = control<QPushButton>(window, IDC_BROWSE);
    ASSERT_NE(browse, nullptr);
    EXPECT_EQ(browse->text(), "....");
    EXPECT_TRUE(browse->isHidden());

    for (int id : {IDC_FOLDER, IDC_PORT}) {
        auto* edit = control<QLineEdit>(window, id);
        ASSERT_NE(edit, nullptr) << id;
        EXPECT_TRUE(edit->isHidden()) << id;
    }
    for (int id : {IDC_STATUS, IDC_INFO, IDC_CLOCK}) {
        auto* label = control<QLabel>(window, id);
        ASSERT_NE(label, nullptr) << id;
        EXPECT_TRUE(label->isVisible()) << id;
    }

    int hidden_labels = 0;
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->text() == "Firmware Folder:" || label->text() == "Port") {
            EXPECT_TRUE(label->isHidden());
            ++hidden_labels;
        }
    EXPECT_EQ(hidden_labels, 2);

    auto* chooser = control<QComboBox>(window, IDC_MODEM);  // with one modem or none
    ASSERT_NE(chooser, nullptr);
    EXPECT_TRUE(chooser->isHidden());
}

TEST_F(DialogWindow, SizesAndPlacesFromDialogUnitsOfItsFont) {
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();

    const QFontMetrics metrics(window.font());
    const double average = std::round(
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0);
    const double height = metrics.height();
    auto px_x = [&](int du) { return static_cast<int>(std::lround(du * average / 4)); };
    auto px_y = [&](int du) { return static_cast<int>(std::lround(du * height / 8)); };

    EXPECT_EQ(window.font().pointSize(), 8);
    EXPECT_EQ(window.size(), QSize(px_x(336), px_y(59)));
    EXPECT_EQ(control<QPushButton>(window, IDC_START)->geometry(),
              QRect(px_x(267), px_y(36), px_x(61), px_y(17)));
    EXPECT_EQ(control<QProgressBar>(window, IDC_PROGRESS)->geometry(),
              QRect(px_x(7), px_y(17), px_x(322), px_y(16)));
    EXPECT_EQ(control<QLabel>(window, IDC_CLOCK)->geometry(),
              QRect(px_x(295), px_y(7), px_x(34), px_y(8)));

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(window.pos(), QPoint(screen.left() + (screen.width() - window.width()) / 2,
                                   screen.top() + (screen.height() - window.height()) / 2));
}

TEST_F(DialogWindow, TimersCarryTheirIdentifiersAndPeriods) {
    UpgradeWindow window(core_.shell());
    auto* clock = window.findChild<QTimer*>(QString::number(ID_TIMER_CLOCK));
    auto* prompt = window.findChild<QTimer*>(QString::number(ID_TIMER_PROMPT));
    ASSERT_NE(clock, nullptr);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(clock->interval(), scaled_ms(1000));
    EXPECT_EQ(prompt->interval(), scaled_ms(300));
    EXPECT_TRUE(prompt->isSingleShot());
    EXPECT_FALSE(clock->isActive());
}

// ---- start-up, prompt and Start ----

TEST_F(DialogWindow, FailedStartUpCheckDisablesStartAndShowsNoPrompt) {
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
    EXPECT_FALSE(window.findChild<QTimer*>(QString::number(ID_TIMER_PROMPT))->isActive());
    QApplication::processEvents();
    EXPECT_EQ(boxes_.count(), 0u);
}

// A device that does not answer keeps the check busy for many seconds: the window is there all the
// while, says what it is doing, offers no Start, and closes without waiting for the device.
TEST_F(DialogWindow, IsOnScreenDuringTheStartUpCheckAndClosesWithoutWaitingForIt) {
    core_.checks_hold = true;
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return core_.inits == 1; }));
    EXPECT_NE(core_.check_thread(), std::this_thread::get_id());
    EXPECT_EQ(core_.prepares, 1);
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.checking());
    EXPECT_EQ(control<QLabel>(window, IDC_INFO)->text(), "Looking for the device...");
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
    control<QPushButton>(window, IDC_START)->click();
    EXPECT_EQ(core_.starts, 0);

    window.close();
    EXPECT_FALSE(window.isVisible());
    ASSERT_TRUE(wait_until([&] { return window.closed(); }, ScriptedCore::kCheckHoldMs / 4));
    EXPECT_TRUE(core_.check_cancelled);
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_EQ(boxes_.count(), 0u);
}

// The verdict of a check that ends while the user waits brings Start and the prompt.
TEST_F(DialogWindow, StartComesWithTheCheckThatEnds) {
    core_.checks_hold = true;
    boxes_.queue_answer(QMessageBox::Cancel);
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return core_.inits == 1; }));
    QApplication::processEvents();
    EXPECT_EQ(boxes_.count(), 0u);  // no prompt before the verdict
    core_.release_check();
    ASSERT_TRUE(wait_until([&] { return boxes_.saw(kPrompt); }));
    EXPECT_TRUE(control<QPushButton>(window, IDC_START)->isEnabled());
    EXPECT_FALSE(core_.check_cancelled);
}

TEST_F(DialogWindow, PromptAsksOnceAndCancelLeavesStartForLater) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        core.hold();
        ScriptedCore::fail(dialog, core);
    };
    boxes_.queue_answer(QMessageBox::Cancel);
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();

    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 1; }));
    const BoxRequest prompt = boxes_.seen()[0].request;
    EXPECT_EQ(prompt.text, kPrompt);
    EXPECT_EQ(prompt.caption, "Upgrade Tools");
    EXPECT_EQ(prompt.icon, QMessageBox::Question);
    EXPECT_EQ(prompt.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(core_.starts, 0);
    auto* start = control<QPushButton>(window, IDC_START);
    EXPECT_TRUE(start->isEnabled());

    start->click();
    EXPECT_EQ(core_.starts, 1);
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(control<QPushButton>(window, IDC_BROWSE)->isEnabled());
    core_.release();
    ASSERT_TRUE(wait_until([&] { return boxes_.saw(kError) && !core_.running; }));
    EXPECT_EQ(boxes_.count(), 2u);  // the prompt came only once
}

TEST_F(DialogWindow, PromptOkAfterStartStartsNoSecondWorker) {
    core_.script = [](UpgradeDialog*, ScriptedCore& core) { core.hold(); };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    control<QPushButton>(window, IDC_START)->click();  // before the prompt's timer fires
    ASSERT_TRUE(wait_until([&] { return boxes_.saw(kPrompt); }));
    QApplication::processEvents();
    EXPECT_EQ(core_.starts, 1);
    EXPECT_EQ(core_.overlapping_starts, 0);
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

// ---- the worker's side: control writes, boxes, clock ----

TEST_F(DialogWindow, WorkerWritesReachTheControlsInOrder) {
    std::atomic<bool> written{false};
    core_.script = [&](UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_range(500);
        dialog->set_status("Finding device...");
        dialog->set_info("Warning: Do not plug out device during download process!");
        for (int i = 1; i <= 120; ++i)
            dialog->set_progress(i);
        dialog->set_status("Copying file to device...");
        written = true;
        core.hold();
    };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] {
        return written.load() && control<QProgressBar>(window, IDC_PROGRESS)->value() == 120;
    }));
    // The bar shows the share of its range done.
    EXPECT_EQ(control<QProgressBar>(window, IDC_PROGRESS)->text(), "24%");
    EXPECT_EQ(control<QLabel>(window, IDC_STATUS)->text(), "Copying file to device...");
    EXPECT_EQ(control<QLabel>(window, IDC_INFO)->text(),
              "Warning: Do not plug out device during download process!");
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

TEST_F(DialogWindow, WorkerBoxIsShownOnTheDialogThreadAndHoldsTheWorker) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        ScriptedCore::fail(dialog, core);
    };
    bool worker_waited = false;
    boxes_.while_open = [&](const BoxRequest& box) {
        if (box.text != kError) return;
        // The worker is inside the box call until the answer comes.
        worker_waited = core_.running && !core_.box_answered;
    };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return !core_.running && core_.starts == 1; }));
    ASSERT_EQ(boxes_.count(), 2u);
    const dialog_test::SeenBox error = boxes_.seen()[1];
    EXPECT_EQ(error.request.text, kError);
    EXPECT_EQ(error.request.caption, "Upgrade Tools");
    EXPECT_EQ(error.request.icon, QMessageBox::Critical);
    EXPECT_EQ(error.request.buttons, QMessageBox::Ok);
    EXPECT_TRUE(error.on_gui_thread);
    EXPECT_TRUE(worker_waited);
    EXPECT_TRUE(core_.box_answered);
}

TEST_F(DialogWindow, FailedRunEnablesStartAndTheClockGoesOnInTheNextRun) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_clock_timer(true);
        core.hold();
        ScriptedCore::fail(dialog, core);
    };
    UpgradeWindow window(core_.shell());
    QStringList ticks;  // connected after the dialog's own handler, so it sees the new text
    QObject::connect(window.findChild<QTimer*>(QString::number(ID_TIMER_CLOCK)), &QTimer::timeout,
                     [&] { ticks << clock_text(window); });
    window.start_up();
    window.show();

    ASSERT_TRUE(wait_until([&] { return window.elapsed_seconds >= 3; }));
    core_.release();
    auto* start = control<QPushButton>(window, IDC_START);
    ASSERT_TRUE(
        wait_until([&] { return boxes_.saw(kError) && !core_.running && start->isEnabled(); }));
    EXPECT_TRUE(control<QPushButton>(window, IDC_BROWSE)->isEnabled());
    const int reached = window.elapsed_seconds;
    EXPECT_FALSE(window.findChild<QTimer*>(QString::number(ID_TIMER_CLOCK))->isActive());
    EXPECT_EQ(ticks.first(), "00:01");
    EXPECT_EQ(ticks.last(), QString::asprintf("00:%02d", reached));

    const qsizetype first_run_ticks = ticks.size();
    start->click();
    EXPECT_EQ(core_.starts, 2);
    ASSERT_TRUE(wait_until([&] { return ticks.size() > first_run_ticks; }));
    EXPECT_EQ(ticks[first_run_ticks], QString::asprintf("00:%02d", reached + 1));
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

TEST_F(DialogWindow, ClockShowsMinutesAndSeconds) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_clock_timer(true);
        core.hold();
        dialog->set_clock_timer(false);
    };
    UpgradeWindow window(core_.shell());
    window.elapsed_seconds = 59;
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return window.elapsed_seconds >= 60; }));
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
    QApplication::processEvents();
    EXPECT_EQ(clock_text(window), QString::asprintf("%02d:%02d", window.elapsed_seconds / 60,
                                                    window.elapsed_seconds % 60));
    EXPECT_TRUE(clock_text(window).startsWith("01:"));
}

// ---- closing ----

TEST_F(DialogWindow, SuccessBoxThenTheDialogClosesByItself) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore&) {
        dialog->set_clock_timer(true);
        dialog->set_clock_timer(false);
        message_boxes().show(kOk.toStdString(), kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
        dialog->set_status("Download ok!");
        dialog->set_info("");
        dialog->post_close();
    };
    UpgradeWindow window(core_.shell());
    QSignalSpy closed(&window, &UpgradeWindow::shut_down);
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return window.closed(); }));
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(window.isVisible());
    ASSERT_EQ(boxes_.count(), 2u);  // the prompt and the success box; no question at close
    EXPECT_EQ(boxes_.seen()[1].request.icon, QMessageBox::Information);
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
}

TEST_F(DialogWindow, ClosingWhileIdleAsksNothing) {
    boxes_.queue_answer(QMessageBox::Cancel);
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 1; }));
    window.close();
    ASSERT_TRUE(wait_until([&] { return window.closed(); }));
    EXPECT_EQ(boxes_.count(), 1u);
    EXPECT_EQ(core_.cleanups, 1);
}

TEST_F(DialogWindow, EscapeDoesNotCloseTheDialog) {
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    QTest::keyClick(&window, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.closed());
}

TEST_F(DialogWindow, ClosingDuringARunAsksAndNoKeepsTheRunGoing) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        if (core.hold()) ScriptedCore::fail(dialog, core);
    };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return core_.running.load(); }));

    boxes_.queue_answer(QMessageBox::No);
    window.close();
    ASSERT_EQ(boxes_.count(), 2u);
    const BoxRequest question = boxes_.seen()[1].request;
    EXPECT_EQ(question.text, kStopRunQuestion);
    EXPECT_TRUE(question.text.contains("unusable"));
    EXPECT_EQ(question.caption, "Upgrade Tools");
    EXPECT_EQ(question.icon, QMessageBox::Warning);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(question.default_button, QMessageBox::No);
    QApplication::processEvents();
    EXPECT_TRUE(core_.running);
    EXPECT_EQ(core_.stop_calls, 0);
    EXPECT_FALSE(window.closed());
    EXPECT_TRUE(window.isVisible());
    core_.release();
    ASSERT_TRUE(wait_until([&] { return !core_.running; }));
}

TEST_F(DialogWindow, ClosingDuringARunStopsTheWorkerBeforeCleanUp) {
    // The stopped worker still writes controls and asks for a box: neither may block it or reach
    // the dialog, and the dialog's thread keeps running while it ends.
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        dialog->set_clock_timer(true);
        core.hold();
        dialog->set_status("stopped");
        ScriptedCore::fail(dialog, core);
    };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return core_.running.load(); }));
    boxes_.queue_answer(QMessageBox::Yes);
    window.close();
    ASSERT_TRUE(wait_until([&] { return window.closed(); }));
    EXPECT_EQ(core_.stop_calls, 1);
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
    EXPECT_TRUE(core_.box_answered);
    EXPECT_EQ(boxes_.count(), 2u);  // prompt and question: the worker's box was withdrawn
    EXPECT_NE(control<QLabel>(window, IDC_STATUS)->text(), "stopped");
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
    EXPECT_FALSE(window.findChild<QTimer*>(QString::number(ID_TIMER_CLOCK))->isActive());
}

TEST_F(DialogWindow, ClosingFromInsideTheWorkersBoxDoesNotDeadlock) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        ScriptedCore::fail(dialog, core);
    };
    UpgradeWindow* target = nullptr;
    boxes_.while_open = [&](const BoxRequest& box) {
        if (box.text != kError) return;
        boxes_.queue_answer(QMessageBox::Yes);  // the question asked while the box is open
        target->close();
    };
    UpgradeWindow window(core_.shell());
    target = &window;
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return window.closed(); }));
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
    EXPECT_TRUE(core_.box_answered);
}

TEST_F(DialogWindow, DestroyingTheDialogDuringARunWaitsForTheWorker) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        core.hold();
        for (int i = 0; i < 1000; ++i)
            dialog->set_progress(i % 186);
    };
    {
        UpgradeWindow window(core_.shell());
        window.start_up();
        window.show();
        ASSERT_TRUE(wait_until([&] { return core_.running.load(); }));
    }
    EXPECT_FALSE(core_.running);
    EXPECT_EQ(core_.cleanups, 1);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
}

// ---- the real boxes ----

// No provider: the QMessageBox itself is shown, found among the top-level widgets and clicked from
// a timer, since its exec() runs a loop of its own.
class RealBoxes : public ::testing::Test {
  protected:
    void SetUp() override {
        set_message_boxes(&qt_boxes_);
        poll_.setInterval(5);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (box && box->isVisible() && on_box) on_box(box);
            }
        });
        poll_.start();
    }
    void TearDown() override { set_message_boxes(nullptr); }

    std::function<void(QMessageBox*)> on_box;
    QtMessageBoxes qt_boxes_;
    ScriptedCore core_;
    QTimer poll_;
};

TEST_F(RealBoxes, BoxesAreOwnerlessWithCaptionIconAndButtonsAndHoldTheWorker) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        ScriptedCore::fail(dialog, core);
    };
    QStringList seen;
    bool worker_held = false;
    on_box = [&](QMessageBox* box) {
        if (seen.contains(box->text())) return;
        seen << box->text();
        EXPECT_EQ(box->windowTitle(), "Upgrade Tools");
        EXPECT_EQ(box->parentWidget(), nullptr);
        if (box->text() == kPrompt) {
            EXPECT_EQ(box->icon(), QMessageBox::Question);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
        } else {
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
            worker_held = core_.running && !core_.box_answered;
        }
        box->button(QMessageBox::Ok)->click();
    };
    UpgradeWindow window(core_.shell());
    window.start_up();
    window.show();
    ASSERT_TRUE(
        wait_until([&] { return core_.starts == 1 && !core_.running && core_.box_answered; }));
    EXPECT_EQ(seen, QStringList({kPrompt, kError}));
    EXPECT_TRUE(worker_held);
}

TEST_F(RealBoxes, ClosingWhileTheWorkersBoxIsOpenWithdrawsIt) {
    core_.script = [](UpgradeDialog* dialog, ScriptedCore& core) {
        message_boxes().show(kOk.toStdString(), kBoxCaption, BoxButtons::Ok, BoxIcon::Information);
        core.box_answered = true;
        dialog->post_close();
    };
    UpgradeWindow window(core_.shell());
    bool close_asked = false;
    on_box = [&](QMessageBox* box) {
        if (box->text() == kPrompt) {
            box->button(QMessageBox::Ok)->click();
        } else if (box->text() == kOk && !close_asked) {
            close_asked = true;
            QTimer::singleShot(0, &window, [&window] { window.close(); });
        } else if (box->text() == kStopRunQuestion) {
            EXPECT_EQ(box->icon(), QMessageBox::Warning);
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
            box->button(QMessageBox::Yes)->click();
        }
    };
    window.start_up();
    window.show();
    ASSERT_TRUE(wait_until([&] { return window.closed(); }));
    EXPECT_TRUE(close_asked);
    EXPECT_TRUE(core_.box_answered);
    EXPECT_TRUE(core_.worker_ended_at_cleanup);
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QMessageBox*>(widget) && widget->isVisible());
}

// ---- device changes ----

class PipeMonitor : public DeviceMonitor {
  public:
    PipeMonitor() {
        if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~PipeMonitor() override {
        close(fds_[0]);
        close(fds_[1]);
    }
    int fd() const override { return fds_[0]; }
    std::vector<int> read_events() override {
        std::vector<int> events;
        unsigned char code = 0;
        if (read(fds_[0], &code, 1) == 1)
            events.push_back(code == 'a' ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
        return events;
    }
    int writer() const { return fds_[1]; }

  private:
    int fds_[2];
};

TEST_F(DialogWindow, DeviceChangesReachTheDeviceReturnHandling) {
    core_.init_result = 0;
    auto monitor = std::make_unique<PipeMonitor>();
    const int writer = monitor->writer();
    UpgradeWindow window(core_.shell(), std::move(monitor));
    window.start_up();
    ASSERT_EQ(write(writer, "r", 1), 1);
    ASSERT_EQ(write(writer, "a", 1), 1);
    ASSERT_TRUE(wait_until([&] { return core_.device_events().size() == 2; }));
    EXPECT_EQ(core_.device_events(),
              (std::vector<int>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}));
}

// A second modem of the package plugged in beside the offered one takes the offer back until it is
// unplugged.
TEST_F(DialogWindow, EachArrivalAndRemovalChecksTheDeviceAgain) {
    core_.init_result = 0;
    core_.check_results = {0, 1, CHECK_SEVERAL_MODEMS, 1};
    auto monitor = std::make_unique<PipeMonitor>();
    const int writer = monitor->writer();
    UpgradeWindow window(core_.shell(), std::move(monitor));
    window.start_up();
    window.show();
    auto* start = control<QPushButton>(window, IDC_START);
    auto* prompt = window.findChild<QTimer*>(QString::number(ID_TIMER_PROMPT));
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    auto send = [&](const char* code, std::size_t events_then) {
        ASSERT_EQ(write(writer, code, 1), 1);
        ASSERT_TRUE(wait_until([&] {
            return core_.device_events().size() == events_then &&
                   core_.checks == static_cast<int>(events_then) && !window.checking();
        }));
    };

    send("r", 1);  // no modem yet
    EXPECT_EQ(core_.checks, 1);
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(prompt->isActive());

    boxes_.queue_answer(QMessageBox::Cancel);
    send("a", 2);
    EXPECT_EQ(core_.checks, 2);
    EXPECT_TRUE(start->isEnabled());
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 1; }));

    send("a", 3);  // a second modem
    EXPECT_EQ(core_.checks, 3);
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(prompt->isActive());

    boxes_.queue_answer(QMessageBox::Cancel);
    send("r", 4);  // unplugged again
    EXPECT_EQ(core_.checks, 4);
    EXPECT_TRUE(start->isEnabled());
    ASSERT_TRUE(wait_until([&] { return boxes_.count() == 2; }));
    EXPECT_EQ(core_.starts, 0);
    EXPECT_EQ(core_.inits, 1);
}

// Several modems of the package: the chooser comes above the bar with none chosen and Start waits;
// a choice is checked and binds what follows; arrivals and removals rebuild the list around the
// chosen modem; with one modem left the dialog is as it was.
TEST_F(DialogWindow, SeveralModemsBringTheChooserAndStartWaitsForAChoice) {
    const ModemEntry first{"1-1.1", "1-1.1, no serial number, normal mode"};
    const ModemEntry second{"1-1.2", "1-1.2, serial SN0002, download mode"};
    core_.modems = {first, second};
    core_.init_result = CHECK_SEVERAL_MODEMS;
    core_.check_results = {1, 1, 1};
    auto monitor = std::make_unique<PipeMonitor>();
    const int writer = monitor->writer();
    UpgradeWindow window(core_.shell(), std::move(monitor));
    window.start_up();
    window.show();
    auto* start = control<QPushButton>(window, IDC_START);
    auto* chooser = control<QComboBox>(window, IDC_MODEM);
    auto* bar = control<QProgressBar>(window, IDC_PROGRESS);
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    EXPECT_TRUE(chooser->isVisible());
    ASSERT_EQ(chooser->count(), 2);
    EXPECT_EQ(chooser->itemText(1), QString::fromStdString(second.text));
    EXPECT_EQ(chooser->currentIndex(), -1);
    EXPECT_LT(chooser->geometry().bottom(), bar->geometry().top());
    const DialogUnits du(window.font());
    EXPECT_EQ(window.size(), du.size(336, 59 + 17));
    EXPECT_FALSE(start->isEnabled());

    boxes_.queue_answer(QMessageBox::Cancel);
    chooser->setCurrentIndex(1);
    ASSERT_TRUE(wait_until([&] { return core_.checks == 1 && !window.checking(); }));
    EXPECT_EQ(core_.wanted(), std::vector<std::string>{"1-1.2"});
    EXPECT_TRUE(start->isEnabled());

    core_.modems = {{"1-1.3", "1-1.3, serial SN0003, normal mode"}, second, first};
    ASSERT_EQ(write(writer, "a", 1), 1);
    ASSERT_TRUE(wait_until([&] { return core_.checks == 2 && !window.checking(); }));
    EXPECT_EQ(chooser->count(), 3);
    EXPECT_EQ(chooser->currentIndex(), 1);
    EXPECT_EQ(core_.wanted().back(), "1-1.2");

    core_.modems = {first};
    ASSERT_EQ(write(writer, "r", 1), 1);
    ASSERT_TRUE(wait_until([&] { return core_.checks == 3 && !window.checking(); }));
    EXPECT_TRUE(chooser->isHidden());
    EXPECT_EQ(core_.wanted().back(), "");
    EXPECT_EQ(window.size(), du.size(336, 59));
    EXPECT_EQ(bar->geometry(), du.rect(7, 17, 322, 16));
    EXPECT_EQ(core_.starts, 0);
}

// ---- folder browser ----

class FolderBrowserTest : public DialogWindow {
  protected:
    void SetUp() override {
        DialogWindow::SetUp();
        dir_ =
            std::filesystem::temp_directory_path() / ("dialog-browse-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        set_program_folder_override(dir_.string() + "/");
    }
    void TearDown() override {
        set_program_folder_override("");
        set_folder_browser(nullptr);
        std::filesystem::remove_all(dir_);
        DialogWindow::TearDown();
    }
    std::string read_settings() const {
        std::ifstream in(dir_ / "settings.ini", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::filesystem::path dir_;
};

TEST_F(FolderBrowserTest, ChosenFolderIsShownAndWrittenWithOtherLinesKept) {
    {
        std::ofstream out(dir_ / "settings.ini", std::ios::binary);
        out << "[id]\r\nidnum=1\r\ndiag0=USB\\VID_05C6\r\n\r\n[firmware]\r\npath=old\r\n; note\r\n"
               "[other]\r\nkey=value\r\n";
    }
    QString title;
    QWidget* owner = nullptr;
    QString start;
    set_folder_browser([&](QWidget* o, const QString& t, const QString& s) {
        owner = o;
        title = t;
        start = s;
        return QStringLiteral("/opt/firmware set");
    });
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    control<QPushButton>(window, IDC_BROWSE)->click();

    EXPECT_EQ(title, "Please select path");
    EXPECT_EQ(start.toStdString(), dir_.string() + "/");  // where the package is
    EXPECT_EQ(owner, &window);
    EXPECT_EQ(control<QLineEdit>(window, IDC_FOLDER)->text(), "/opt/firmware set");
    const std::string text = read_settings();
    EXPECT_NE(text.find("[id]\r\nidnum=1\r\ndiag0=USB\\VID_05C6\r\n\r\n[firmware]\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("path=/opt/firmware set"), std::string::npos) << text;
    EXPECT_EQ(text.find("path=old"), std::string::npos) << text;
    EXPECT_NE(text.find("; note"), std::string::npos) << text;
    EXPECT_NE(text.find("[other]\r\nkey=value"), std::string::npos) << text;
}

TEST_F(FolderBrowserTest, CancelledBrowserWritesNothing) {
    set_folder_browser([](QWidget*, const QString&, const QString&) { return QString(); });
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    control<QPushButton>(window, IDC_BROWSE)->click();
    EXPECT_TRUE(control<QLineEdit>(window, IDC_FOLDER)->text().isEmpty());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "settings.ini"));
}

TEST_F(FolderBrowserTest, MissingSettingsFileIsCreatedWithTheSection) {
    set_folder_browser(
        [](QWidget*, const QString&, const QString&) { return QStringLiteral("/srv/fw"); });
    core_.init_result = 0;
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return !window.checking(); }));
    control<QPushButton>(window, IDC_BROWSE)->click();
    const std::string text = read_settings();
    EXPECT_NE(text.find("[firmware]"), std::string::npos) << text;
    EXPECT_NE(text.find("path=/srv/fw"), std::string::npos) << text;
}

// ---- the package folder chosen by the user ----

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

constexpr const char* kPackageSettings =
    "[id]\nidnum=1\ndiag0=USB\\VID_05C6&PID_9003\ndownload0=USB\\VID_05C6&PID_9100\n";

// An installed program: no settings.ini beside it, the user's configuration folder of its own.
class PackageChooserTest : public DialogWindow {
  protected:
    void SetUp() override {
        DialogWindow::SetUp();
        set_program_folder_override(program_.path());
        package_.write("settings.ini", kPackageSettings);
        package_.write("image.iso", "cd");
        core_.package_beside_program = ::package_beside_program;
        core_.init_result = 0;
        boxes_.default_answer = QMessageBox::Cancel;  // the prompt starts no run
        set_folder_browser([this](QWidget*, const QString& title, const QString& start) {
            ++browsed_;
            title_ = title;
            start_ = start;
            return chosen_;
        });
    }
    void TearDown() override {
        set_program_folder_override("");
        set_folder_browser(nullptr);
        DialogWindow::TearDown();
    }
    std::string package_folder() const { return core_.package_folder.program_folder(); }
    std::string remembered_file() const { return config_.path() + "/fwupgrade/fwupgrade.ini"; }

    TempDir program_, package_, config_;
    ScopedEnv config_home_{"XDG_CONFIG_HOME", config_.path().c_str()};
    QString chosen_ = QString::fromStdString(package_.path());
    QString title_;
    QString start_;
    int browsed_ = 0;
};

TEST_F(PackageChooserTest, ChosenFolderIsUsedStoredAndReadAtTheNextStart) {
    core_.check_results = {1};
    {
        UpgradeWindow window(core_.shell());
        window.start_up();
        auto* browse = control<QPushButton>(window, IDC_BROWSE);
        EXPECT_FALSE(browse->isHidden());
        EXPECT_EQ(browse->text(), "Package...");
        // Nothing is remembered yet: the browser opens by itself, where the package is looked for.
        ASSERT_TRUE(wait_until([&] { return browsed_ == 1; }));
        EXPECT_EQ(title_, "Please select path");
        EXPECT_EQ(start_.toStdString(), program_.path() + "/");
        EXPECT_EQ(package_folder(), package_.path() + "/");
        EXPECT_EQ(core_.package_folder.settings_path(), package_.path() + "/settings.ini");
        // The device is checked against the chosen package.
        ASSERT_TRUE(wait_until([&] { return core_.checks == 1 && !window.checking(); }));
        EXPECT_TRUE(control<QPushButton>(window, IDC_START)->isEnabled());
        ASSERT_TRUE(wait_until([&] { return boxes_.saw(kPrompt); }));
    }
    EXPECT_NE(read_text(remembered_file()).find("folder=" + package_.path()), std::string::npos)
        << read_text(remembered_file());
    // The package itself is not written to.
    EXPECT_EQ(read_text(package_.path() + "/settings.ini"), kPackageSettings);

    core_.package_folder.set("");
    core_.init_result = 1;
    UpgradeWindow next(core_.shell());
    next.start_up();
    EXPECT_EQ(package_folder(), package_.path() + "/");
    ASSERT_TRUE(wait_until([&] { return !next.checking(); }));
    QApplication::processEvents();
    EXPECT_EQ(browsed_, 1);  // the remembered folder is taken without asking
    EXPECT_FALSE(control<QPushButton>(next, IDC_BROWSE)->isHidden());
}

TEST_F(PackageChooserTest, CancelledChoiceRemembersNothingAndLeavesBrowseToTryAgain) {
    chosen_.clear();
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return browsed_ == 1; }));
    EXPECT_FALSE(std::filesystem::exists(remembered_file()));
    EXPECT_EQ(package_folder(), program_.path() + "/");
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
    auto* browse = control<QPushButton>(window, IDC_BROWSE);
    EXPECT_TRUE(browse->isEnabled());

    chosen_ = QString::fromStdString(package_.path());
    core_.check_results = {0};  // no device yet
    browse->click();
    EXPECT_EQ(package_folder(), package_.path() + "/");
    ASSERT_TRUE(wait_until([&] { return core_.checks == 1 && !window.checking(); }));
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(remembered_file()));
}

// A folder that is not a package is refused with the package check's reason; nothing changes.
TEST_F(PackageChooserTest, FolderThatIsNoPackageIsRefusedWithTheReasonAndNotRemembered) {
    TempDir other;
    other.write("settings.ini", "[id]\nidnum=1\n");
    chosen_ = QString::fromStdString(other.path());
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return browsed_ == 1; }));
    QApplication::processEvents();
    const QString info = control<QLabel>(window, IDC_INFO)->text();
    EXPECT_TRUE(info.startsWith("Error: This folder cannot be used: settings.ini: "))
        << info.toStdString();
    EXPECT_TRUE(info.contains("diag0")) << info.toStdString();
    EXPECT_EQ(package_folder(), program_.path() + "/");
    EXPECT_FALSE(std::filesystem::exists(remembered_file()));
    EXPECT_EQ(core_.checks, 0);
    EXPECT_FALSE(control<QPushButton>(window, IDC_START)->isEnabled());
}

TEST_F(PackageChooserTest, RememberedFolderThatIsGoneAsksAgain) {
    ASSERT_TRUE(remember_package_folder(program_.path() + "/gone"));
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return browsed_ == 1; }));
    EXPECT_EQ(package_folder(), package_.path() + "/");
}

// A package folder that is gone is no place to open the browser: it opens at home.
TEST_F(PackageChooserTest, BrowserOpensAtHomeWhenThePackageFolderIsGone) {
    TempDir home;
    ScopedEnv home_env{"HOME", home.path().c_str()};
    set_program_folder_override(program_.path() + "/gone/");
    UpgradeWindow window(core_.shell());
    window.start_up();
    ASSERT_TRUE(wait_until([&] { return browsed_ == 1; }));
    EXPECT_EQ(start_.toStdString(), home.path());
}

TEST_F(PackageChooserTest, BesideAPackageTheDialogStaysAsItWasAndIgnoresTheRememberedFolder) {
    program_.write("settings.ini", "[id]\nidnum=1\n");
    ASSERT_TRUE(remember_package_folder(package_.path()));
    UpgradeWindow window(core_.shell());
    window.start_up();
    QApplication::processEvents();
    auto* browse = control<QPushButton>(window, IDC_BROWSE);
    EXPECT_TRUE(browse->isHidden());
    EXPECT_EQ(browse->text(), "....");
    EXPECT_EQ(browsed_, 0);
    EXPECT_EQ(package_folder(), program_.path() + "/");
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
