// The upgrade dialog IDD_UPGRADE with Qt Widgets.
//
// Controls carry their identifiers as object names ("1011", "1017", ...) and the two timers theirs
// ("33268", "34268"). The dialog talks to the core only through DialogShell, so that tests can put
// a scripted worker in its place.
//
// The device check runs on a thread of its own, the window already on the screen; Start waits for
// its verdict. Closing during a check cancels it and does not wait for the device.
//
// Closing while a worker runs asks first; on yes the worker is told to stop at its next exchange,
// a helper thread waits for it while this thread keeps dispatching events (the worker may still
// want a box or queue control writes), and only once it has ended is the port and the log released.
#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_shell.h"
#include "app/qt/queued_dialog.h"
#include "discovery/device_events.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;

class UpgradeWindow : public QDialog {
    Q_OBJECT

  public:
    explicit UpgradeWindow(DialogShell shell, std::unique_ptr<DeviceMonitor> monitor = nullptr,
                           QWidget* parent = nullptr);
    // Waits (dispatching events) for a worker that still runs: it holds this dialog's address.
    ~UpgradeWindow() override;

    // What WM_INITDIALOG does: centre, the preparations, then the start-up check off this thread
    // with Start disabled; its verdict brings the prompt timer or leaves Start disabled. After a
    // failed check, each device arrival runs the check again, until one succeeds and Start and the
    // prompt come as after a successful start-up.
    // Without settings.ini beside the program, the browse button chooses the package folder: the
    // remembered one is taken first, and without one the folder browser opens at once.
    void start_up();

    UpgradeDialog* dialog() { return &queued_; }
    // Seconds shown by the clock; never reset.
    std::atomic<int> elapsed_seconds{0};
    // True once the close has run to its end (worker stopped, cleanup done).
    bool closed() const { return closed_; }
    // True while a device check runs.
    bool checking() const { return check_thread_.running(); }

    // The control writes, on the dialog's thread (QueuedDialog brings them here).
    void show_progress(int position);
    void show_range(int maximum);
    void show_status(const QString& text);
    void show_info(const QString& text);
    void set_clock_running(bool running);
    void set_start_enabled(bool enabled);
    // The worker's WM_CLOSE after a successful run: close without asking.
    void close_when_worker_ends();

  signals:
    // Emitted once the close has run to its end.
    void shut_down();
    // Each text written to the status line 1017, in order (the label itself keeps only the last).
    void status_shown(const QString& text);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    void create_controls();
    void center_window();
    void on_prompt_timer();
    void on_clock_timer();
    void on_start();
    void browse_folder();
    void show_package_chooser();
    void take_package_folder(const QString& folder);
    void on_device_events();
    void check_device_again();
    void run_check(bool at_start_up);
    void on_check_ended(int result);
    void refresh_modems();
    void show_modem_chooser(bool shown);
    void on_modem_chosen(int index);
    void begin_close();
    void finish_close();

    DialogShell shell_;
    QueuedDialog queued_{this};
    std::unique_ptr<DeviceMonitor> monitor_;
    QSocketNotifier* notifier_ = nullptr;

    QProgressBar* progress_ = nullptr;  // 1011
    QLineEdit* folder_ = nullptr;       // 1012
    QPushButton* browse_ = nullptr;     // 1013
    QPushButton* start_ = nullptr;      // 1014
    QLineEdit* port_ = nullptr;         // 1016
    QLabel* status_ = nullptr;          // 1017
    QLabel* info_ = nullptr;            // 1018
    QLabel* clock_ = nullptr;           // 1020
    QComboBox* chooser_ = nullptr;      // 1021
    // What the chooser pushes down when it shows above the progress bar.
    std::vector<QWidget*> below_chooser_;

    QTimer clock_timer_{this};   // ID_TIMER_CLOCK
    QTimer prompt_timer_{this};  // ID_TIMER_PROMPT

    bool closing_ = false;
    bool awaiting_device_ = false;   // the last device check failed
    bool choosing_package_ = false;  // no package beside the program: the user chooses the folder
    bool closed_ = false;
    bool prompt_after_check_ = false;  // the prompt's time came during a check
    bool browse_after_check_ = false;  // the folder browser opens once the check has ended
    DeviceCheckThread check_thread_;
    std::thread stopper_;
    // The chooser's modems, and the one chosen (its ModemEntry::wanted; empty: none).
    std::vector<ModemEntry> modems_;
    std::string chosen_;
};
