#include "app/qt/upgrade_window.h"

#include <algorithm>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSocketNotifier>

#include "app/device_return.h"
#include "app/package_folder.h"
#include "app/qt/dialog_units.h"
#include "app/qt/folder_browser.h"
#include "app/qt/message_boxes_qt.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/settings.h"
#include "res/resource.h"

namespace {

constexpr const char* kTitle = "Firmware Upgrade Tool";
constexpr const char* kPromptText = "Do you want to upgrade firmware?\n";
constexpr const char* kBrowseTitle = "Please select path";
constexpr const char* kChooseText = "Package...";
constexpr const char* kChooseTip = "Choose the firmware package folder";
constexpr const char* kUnusableFolder = "Error: This folder cannot be used: ";
constexpr int kDialogWidth = 336;  // dialog units
constexpr int kDialogHeight = 59;
// The chooser of several modems takes this much above the progress bar, pushing the rest down.
constexpr int kChooserRoom = 17;
constexpr const char* kChooserPrompt = "Choose the modem to upgrade";
constexpr int kClockPeriodMs = 1000;
constexpr int kPromptDelayMs = 300;

QString id_name(int id) {
    return QString::number(id);
}

}  // namespace

UpgradeWindow::UpgradeWindow(DialogShell shell, std::unique_ptr<DeviceMonitor> monitor,
                             QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      shell_(std::move(shell)),
      monitor_(std::move(monitor)) {
    setWindowTitle(QString::fromLatin1(kTitle));
    setObjectName(id_name(IDD_UPGRADE));
    create_controls();

    clock_timer_.setObjectName(id_name(ID_TIMER_CLOCK));
    clock_timer_.setInterval(scaled_ms(kClockPeriodMs));
    connect(&clock_timer_, &QTimer::timeout, this, &UpgradeWindow::on_clock_timer);

    // The prompt timer kills itself at its first tick.
    prompt_timer_.setObjectName(id_name(ID_TIMER_PROMPT));
    prompt_timer_.setSingleShot(true);
    prompt_timer_.setInterval(scaled_ms(kPromptDelayMs));
    connect(&prompt_timer_, &QTimer::timeout, this, &UpgradeWindow::on_prompt_timer);

    connect(start_, &QPushButton::clicked, this, &UpgradeWindow::on_start);
    connect(browse_, &QPushButton::clicked, this, &UpgradeWindow::browse_folder);

    if (monitor_) {
        notifier_ = new QSocketNotifier(monitor_->fd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &UpgradeWindow::on_device_events);
    }
}

UpgradeWindow::~UpgradeWindow() {
    if (!closed_) {
        if (!closing_) begin_close();
        while (!closed_)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

// Positions and sizes in dialog units of the "MS Shell Dlg" 8 pt dialog font; on a system without
// that font the font matcher's sans-serif stands in, and the units follow its metrics.
void UpgradeWindow::create_controls() {
    QFont dialog_font(QStringLiteral("MS Shell Dlg"));
    dialog_font.setStyleHint(QFont::SansSerif);
    dialog_font.setPointSize(8);
    setFont(dialog_font);
    const DialogUnits du(font());
    setFixedSize(du.size(kDialogWidth, kDialogHeight));

    auto place = [&du](QWidget* widget, int id, int x, int y, int w, int h) {
        if (id != 0) widget->setObjectName(id_name(id));
        widget->setGeometry(du.rect(x, y, w, h));
    };
    auto button = [this](const char* text) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setAutoDefault(false);  // Enter does not press a button, as in the resource
        return b;
    };

    progress_ = new QProgressBar(this);
    place(progress_, IDC_PROGRESS, 7, 17, 322, 16);
    progress_->setRange(0, PROGRESS_RANGE_MAX);
    progress_->setValue(0);
    // The share of the run done, in the bar itself.
    progress_->setFormat(QStringLiteral("%p%"));
    progress_->setAlignment(Qt::AlignCenter);
    progress_->setTextVisible(true);

    folder_ = new QLineEdit(this);
    place(folder_, IDC_FOLDER, 7, 34, 137, 15);
    folder_->hide();

    auto* folder_label = new QLabel(QStringLiteral("Firmware Folder:"), this);
    place(folder_label, 0, 7, 35, 71, 12);
    folder_label->hide();

    browse_ = button("....");
    place(browse_, IDC_BROWSE, 145, 35, 28, 15);
    browse_->hide();

    start_ = button("Start ");
    place(start_, IDC_START, 267, 36, 61, 17);

    auto* port_label = new QLabel(QStringLiteral("Port"), this);
    place(port_label, 0, 190, 35, 38, 9);
    port_label->hide();

    port_ = new QLineEdit(this);
    place(port_, IDC_PORT, 190, 36, 47, 16);
    port_->hide();

    status_ = new QLabel(this);
    place(status_, IDC_STATUS, 7, 36, 175, 12);

    info_ = new QLabel(this);
    place(info_, IDC_INFO, 7, 3, 284, 12);

    clock_ = new QLabel(this);
    place(clock_, IDC_CLOCK, 295, 7, 34, 8);

    chooser_ = new QComboBox(this);
    place(chooser_, IDC_MODEM, 7, 17, 322, 14);
    chooser_->setPlaceholderText(QString::fromLatin1(kChooserPrompt));
    chooser_->hide();
    connect(chooser_, &QComboBox::currentIndexChanged, this, &UpgradeWindow::on_modem_chosen);
    below_chooser_ = {progress_, folder_,    folder_label, browse_,
                      start_,    port_label, port_,        status_};
}

// Centred on the primary screen without resizing, halves truncated toward zero, on top.
void UpgradeWindow::center_window() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect desktop = screen->geometry();
    move(desktop.left() + (desktop.width() - width()) / 2,
         desktop.top() + (desktop.height() - height()) / 2);
    raise();
}

void UpgradeWindow::start_up() {
    center_window();
    choosing_package_ = shell_.package_beside_program && !shell_.package_beside_program();
    bool have_package = true;
    if (choosing_package_) {
        show_package_chooser();
        const std::string remembered = remembered_package_folder();
        have_package =
            use_package_folder(*shell_.package_folder, remembered) && settings_in(remembered);
        if (have_package) browse_->setToolTip(QString::fromLocal8Bit(remembered.c_str()));
    }
    if (shell_.prepare) shell_.prepare();
    awaiting_device_ = true;
    // The browser waits for the check, which reads the package folder it would change.
    browse_after_check_ = !have_package;
    run_check(true);
}

// The check runs off this thread; its texts come through the queued dialog and its verdict after
// them, in the order they were made.
void UpgradeWindow::run_check(bool at_start_up) {
    set_start_enabled(false);
    show_info(QString::fromLatin1(kLookingForDevice));
    refresh_modems();
    std::function<int(UpgradeDialog*)> check = at_start_up ? shell_.init : shell_.check;
    if (!at_start_up && shell_.check_modem)
        check = [check_modem = shell_.check_modem, wanted = chosen_](UpgradeDialog* to) {
            return check_modem(to, wanted);
        };
    UpgradeDialog* to_dialog = dialog();
    check_thread_.start([check, to_dialog] { return check(to_dialog); },
                        [this](int result) {
                            QMetaObject::invokeMethod(
                                this, [this, result] { on_check_ended(result); },
                                Qt::QueuedConnection);
                        });
}

void UpgradeWindow::on_check_ended(int result) {
    // A closing dialog waits for the check's thread on its helper thread.
    if (closing_) return;
    if (check_thread_.finish()) {
        run_check(false);
        return;
    }
    // A check that says nothing (a device found in download mode on its diag port) leaves the
    // line empty, as it always was.
    if (info_->text() == QLatin1String(kLookingForDevice)) show_info(QString());
    const bool offered = result == 1;
    start_->setEnabled(offered);
    browse_->setEnabled(true);
    if (!offered)
        prompt_timer_.stop();
    else if (awaiting_device_ || prompt_after_check_)
        prompt_timer_.start();
    awaiting_device_ = !offered;
    prompt_after_check_ = false;
    if (browse_after_check_) {
        browse_after_check_ = false;
        // Queued, so that the dialog is on the screen behind the folder browser.
        QTimer::singleShot(0, this, &UpgradeWindow::browse_folder);
    }
}

// The chooser is rebuilt only while no run goes on (the checks run then): a run's modem stays
// chosen through its re-enumerations, and any modem stays chosen while it is plugged in.
void UpgradeWindow::refresh_modems() {
    if (!shell_.modems) return;
    modems_ = shell_.modems();
    if (entry_index(modems_, chosen_) < 0) chosen_.clear();
    const QSignalBlocker quiet(chooser_);
    chooser_->clear();
    for (const ModemEntry& modem : modems_)
        chooser_->addItem(QString::fromLocal8Bit(modem.text.c_str()));
    chooser_->setCurrentIndex(entry_index(modems_, chosen_));
    show_modem_chooser(modems_.size() > 1);
}

// With one modem the dialog is as it always was; the chooser's room is added above the progress
// bar only while several are plugged in.
void UpgradeWindow::show_modem_chooser(bool shown) {
    if (shown != chooser_->isHidden()) return;
    const DialogUnits du(font());
    const int room = shown ? du.y(kChooserRoom) : -du.y(kChooserRoom);
    for (QWidget* widget : below_chooser_)
        widget->move(widget->x(), widget->y() + room);
    setFixedSize(du.size(kDialogWidth, kDialogHeight + (shown ? kChooserRoom : 0)));
    chooser_->setVisible(shown);
}

// A choice is checked as an arrival is: the check binds the runs that follow to that modem.
void UpgradeWindow::on_modem_chosen(int index) {
    if (closing_ || index < 0 || index >= static_cast<int>(modems_.size())) return;
    chosen_ = modems_[static_cast<std::size_t>(index)].wanted;
    check_device_again();
}

// The browse button, hidden beside a package, comes out between the status line and Start.
void UpgradeWindow::show_package_chooser() {
    const DialogUnits du(font());
    browse_->setGeometry(du.rect(195, 36, 61, 17));
    browse_->setText(QString::fromLatin1(kChooseText));
    browse_->setToolTip(QString::fromLatin1(kChooseTip));
    browse_->show();
}

// A bar asked past its end shows full rather than ignoring the step.
void UpgradeWindow::show_progress(int position) {
    progress_->setValue(std::clamp(position, progress_->minimum(), progress_->maximum()));
}

void UpgradeWindow::show_range(int maximum) {
    progress_->setRange(0, maximum > 0 ? maximum : PROGRESS_RANGE_MAX);
}

void UpgradeWindow::show_status(const QString& text) {
    status_->setText(text);
    emit status_shown(text);
}

void UpgradeWindow::show_info(const QString& text) {
    info_->setText(text);
}

// Setting the timer again while it runs restarts its period; elapsed_seconds is never reset.
void UpgradeWindow::set_clock_running(bool running) {
    if (running)
        clock_timer_.start();
    else
        clock_timer_.stop();
}

void UpgradeWindow::set_start_enabled(bool enabled) {
    start_->setEnabled(enabled);
    browse_->setEnabled(enabled);
    // Held from a run's start (on_start) until a failed run gives Start back.
    if (enabled) chooser_->setEnabled(true);
}

void UpgradeWindow::on_clock_timer() {
    const int seconds = ++elapsed_seconds;
    clock_->setText(QString::asprintf("%02d:%02d", seconds / 60, seconds % 60));
}

void UpgradeWindow::on_prompt_timer() {
    if (closing_) return;
    if (check_thread_.running()) {
        prompt_after_check_ = true;
        return;
    }
    BoxRequest prompt;
    prompt.text = QString::fromLatin1(kPromptText);
    prompt.caption = QString::fromLatin1(kBoxCaption);
    prompt.icon = QMessageBox::Question;
    prompt.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    // A device check while the prompt was open may have taken the offer back.
    if (ask_box(prompt) == QMessageBox::Ok && !awaiting_device_ && !check_thread_.running())
        on_start();
}

// The prompt has no owner, so Start can be pressed while it is open; whichever comes second finds
// the worker running and does nothing.
void UpgradeWindow::on_start() {
    if (closing_ || check_thread_.running() || shell_.worker_running()) return;
    shell_.start(dialog());
    chooser_->setEnabled(!shell_.worker_running());
}

// The browser opens where the package is, or at home: never at a folder that is not there.
void UpgradeWindow::browse_folder() {
    if (closing_ || check_thread_.running()) return;
    const std::string home = QDir::homePath().toLocal8Bit().constData();
    const QString start =
        QString::fromLocal8Bit(folder_browser_start(*shell_.package_folder, home).c_str());
    const QString folder = browse_for_folder(this, QString::fromLatin1(kBrowseTitle), start);
    if (folder.isEmpty()) return;
    const QString path = QDir::toNativeSeparators(folder);
    folder_->setText(path);
    if (choosing_package_) {
        take_package_folder(path);
        return;
    }
    write_profile_string("firmware", "path", path.toLocal8Bit().constData(),
                         shell_.package_folder->settings_path());
}

// A package is taken as the package folder, remembered for the next start, and the device is
// checked against its settings.ini as at start-up. Any other folder is refused with the package
// check's reason and changes nothing.
void UpgradeWindow::take_package_folder(const QString& folder) {
    const std::string path = folder.toLocal8Bit().constData();
    const std::string refusal = package_folder_refusal(path);
    if (!refusal.empty()) {
        show_info(QString::fromLatin1(kUnusableFolder) + QString::fromLocal8Bit(refusal.c_str()));
        return;
    }
    if (!use_package_folder(*shell_.package_folder, path)) {
        show_info(QString::fromLatin1(kUnusableFolder) + folder);
        return;
    }
    remember_package_folder(path);
    browse_->setToolTip(folder);
    if (shell_.worker_running()) return;
    awaiting_device_ = true;  // a new package is offered with the prompt
    run_check(false);
}

void UpgradeWindow::on_device_events() {
    for (int event : monitor_->read_events()) {
        if (closing_) continue;
        shell_.device_change(event);
        check_device_again();
    }
}

// Only the check runs again: the start-up's preparations would reopen, and so empty, the log. The
// prompt comes when a device is offered after none was.
void UpgradeWindow::check_device_again() {
    if (!shell_.worker_running() && check_thread_.device_changed()) run_check(false);
}

void UpgradeWindow::reject() {
    // Escape: the dialog procedure does not handle IDCANCEL, so nothing happens.
}

void UpgradeWindow::closeEvent(QCloseEvent* event) {
    event->ignore();  // the dialog ends through finish_close
    if (closing_) return;
    if (shell_.worker_running()) {
        BoxRequest confirm;
        confirm.text = QString::fromLatin1(kStopRunQuestion);
        confirm.caption = QString::fromLatin1(kBoxCaption);
        confirm.icon = QMessageBox::Warning;
        confirm.buttons = QMessageBox::Yes | QMessageBox::No;
        confirm.default_button = QMessageBox::No;
        // The worker may have ended, or closed the dialog itself, while the question was open.
        if (ask_box(confirm) != QMessageBox::Yes || closing_) return;
    }
    begin_close();
}

void UpgradeWindow::close_when_worker_ends() {
    if (!closing_) begin_close();
}

// From here on no control write, box, start or device change reaches the run. The worker is waited
// for on a helper thread: this thread must go on dispatching, since a worker that is ending may be
// waiting for it (a queued call, a box being withdrawn).
void UpgradeWindow::begin_close() {
    closing_ = true;
    queued_.shut();
    withdraw_boxes(true);
    prompt_timer_.stop();
    if (notifier_) notifier_->setEnabled(false);
    if (check_thread_.running()) {
        // Nothing of a run is lost: the window goes at once, the device is not waited for.
        if (shell_.cancel_check) shell_.cancel_check();
        hide();
    }
    stopper_ = std::thread([this] {
        check_thread_.wait();
        shell_.stop_worker();
        QMetaObject::invokeMethod(
            this, [this] { finish_close(); }, Qt::QueuedConnection);
    });
}

// The worker has ended: only now are the port and the log released.
void UpgradeWindow::finish_close() {
    if (closed_) return;
    stopper_.join();
    const std::string note = shell_.stopped_note ? shell_.stopped_note() : std::string();
    shell_.cleanup();
    clock_timer_.stop();
    closed_ = true;
    withdraw_boxes(false);
    // A run stopped in the middle of the firmware download: the user learns how to finish it.
    if (!note.empty()) {
        BoxRequest told;
        told.text = QString::fromStdString(note);
        told.caption = QString::fromLatin1(kBoxCaption);
        told.icon = QMessageBox::Warning;
        told.buttons = QMessageBox::Ok;
        ask_box(told);
    }
    done(0);
    emit shut_down();
}
