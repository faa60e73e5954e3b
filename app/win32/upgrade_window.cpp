#include "app/win32/upgrade_window.h"

#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/upgrade.h"
#include "app/win32/boxes.h"
#include "app/win32/folder_browser.h"
#include "base/clock.h"
#include "base/settings.h"
#include "discovery/device_events.h"
#include "res/resource.h"

namespace {

constexpr const char* kPromptText = "Do you want to upgrade firmware?\n";
constexpr const char* kBrowseTitle = "Please select path";
constexpr int kClockPeriodMs = 1000;
constexpr int kPromptDelayMs = 300;
// The chooser of several modems takes this much above the progress bar (dialog units), pushing the
// rest down.
constexpr int kChooserRoom = 17;

// The progress bar is one of the common controls: their classes must exist before the dialog
// makes its controls from the resource.
void init_common_controls() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
}

}  // namespace

UpgradeWindow::UpgradeWindow(DialogShell shell) : shell_(std::move(shell)) {}

UpgradeWindow::~UpgradeWindow() {
    if (stopper_.joinable()) stopper_.join();
    check_thread_.wait();
}

INT_PTR UpgradeWindow::run() {
    init_common_controls();
    const INT_PTR result =
        ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPGRADE), nullptr,
                          procedure, reinterpret_cast<LPARAM>(this));
    if (com_ready_) ::CoUninitialize();
    com_ready_ = false;
    return result;
}

// Every message returns 0, WM_INITDIALOG too: the dialog manager does the rest.
INT_PTR CALLBACK UpgradeWindow::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<UpgradeWindow*>(lparam);
        ::SetWindowLongPtrA(window, DWLP_USER, lparam);
        self->window_ = window;
        self->posted_.attach(window);
        self->on_init();
        return 0;
    }
    if (auto* self = reinterpret_cast<UpgradeWindow*>(::GetWindowLongPtrA(window, DWLP_USER)))
        self->handle(message, wparam);
    return 0;
}

void UpgradeWindow::handle(UINT message, WPARAM wparam) {
    switch (message) {
        case WM_TIMER:
            on_timer(wparam);
            break;
        case WM_COMMAND:
            on_command(LOWORD(wparam), HIWORD(wparam));
            break;
        case WM_DEVICECHANGE:
            on_device_change(wparam);
            break;
        case WM_CLOSE:
            on_close();
            break;
        case kRunQueuedCalls:
            posted_.run_queued();
            break;
        case kWorkerStopped:
            finish_close();
            break;
        case kCheckEnded:
            on_check_ended(static_cast<int>(wparam));
            break;
        default:
            break;
    }
}

// Centred, the preparations, then the start-up check off this thread with Start disabled; its
// verdict brings the prompt timer or leaves Start disabled. Each device arrival and removal runs
// the check again; when one succeeds after a failed one, Start and the prompt come as after a
// successful start-up.
void UpgradeWindow::on_init() {
    init_common_controls();
    // The shell's folder browser needs COM on this thread, in a single-threaded apartment: the
    // browser's own windows and the shell objects behind them live on this thread.
    com_ready_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    center_window();
    ::SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETRANGE, 0,
                          MAKELPARAM(0, PROGRESS_RANGE_MAX));
    ::SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
    if (shell_.prepare) shell_.prepare();
    awaiting_device_ = true;
    run_check(true);
}

// The check runs off this thread; its texts come through the posted dialog, and its verdict is
// posted after them, so it is taken after them.
void UpgradeWindow::run_check(bool at_start_up) {
    set_start_enabled(false);
    show_info(kLookingForDevice);
    refresh_modems();
    std::function<int(UpgradeDialog*)> check = at_start_up ? shell_.init : shell_.check;
    if (!at_start_up && shell_.check_modem)
        check = [check_modem = shell_.check_modem, wanted = chosen_](UpgradeDialog* to) {
            return check_modem(to, wanted);
        };
    UpgradeDialog* to_dialog = dialog();
    check_thread_.start([check, to_dialog] { return check(to_dialog); },
                        [window = window_](int result) {
                            ::PostMessageA(window, kCheckEnded, static_cast<WPARAM>(result), 0);
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
    char info[64] = {};
    ::GetDlgItemTextA(window_, IDC_INFO, info, sizeof info);
    if (std::string(info) == kLookingForDevice) show_info("");
    const bool offered = result == 1;
    ::EnableWindow(::GetDlgItem(window_, IDC_START), offered);
    ::EnableWindow(::GetDlgItem(window_, IDC_BROWSE), TRUE);
    if (!offered)
        ::KillTimer(window_, ID_TIMER_PROMPT);
    else if (awaiting_device_ || prompt_after_check_)
        ::SetTimer(window_, ID_TIMER_PROMPT, scaled_ms(kPromptDelayMs), nullptr);
    awaiting_device_ = !offered;
    prompt_after_check_ = false;
}

// The chooser is rebuilt only while no run goes on (the checks run then): a run's modem stays
// chosen through its re-enumerations, and any modem stays chosen while it is plugged in.
void UpgradeWindow::refresh_modems() {
    if (!shell_.modems) return;
    modems_ = shell_.modems();
    if (entry_index(modems_, chosen_) < 0) chosen_.clear();
    HWND chooser = ::GetDlgItem(window_, IDC_MODEM);
    ::SendMessageA(chooser, CB_RESETCONTENT, 0, 0);
    for (const ModemEntry& modem : modems_)
        ::SendMessageA(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(modem.text.c_str()));
    ::SendMessageA(chooser, CB_SETCURSEL, static_cast<WPARAM>(entry_index(modems_, chosen_)), 0);
    show_modem_chooser(modems_.size() > 1);
}

// With one modem the dialog is as it always was; the chooser's room is added above the progress
// bar only while several are plugged in.
void UpgradeWindow::show_modem_chooser(bool shown) {
    HWND chooser = ::GetDlgItem(window_, IDC_MODEM);
    // Its own style, not IsWindowVisible: the dialog itself is not on the screen at WM_INITDIALOG.
    const bool visible = (::GetWindowLongPtrA(chooser, GWL_STYLE) & WS_VISIBLE) != 0;
    if (shown == visible) return;
    RECT room{0, 0, 0, kChooserRoom};
    ::MapDialogRect(window_, &room);
    const int shift = shown ? room.bottom : -room.bottom;
    RECT edge{};
    ::GetWindowRect(chooser, &edge);
    ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&edge), 2);
    for (HWND child = ::GetWindow(window_, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT place{};
        ::GetWindowRect(child, &place);
        ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
        if (child != chooser && place.top >= edge.top)
            ::SetWindowPos(child, nullptr, place.left, place.top + shift, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT own{};
    ::GetWindowRect(window_, &own);
    ::SetWindowPos(window_, nullptr, 0, 0, own.right - own.left, own.bottom - own.top + shift,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(chooser, shown ? SW_SHOW : SW_HIDE);
}

// A choice is checked as an arrival is: the check binds the runs that follow to that modem.
void UpgradeWindow::on_modem_chosen() {
    const LRESULT index = ::SendDlgItemMessageA(window_, IDC_MODEM, CB_GETCURSEL, 0, 0);
    if (closing_ || index < 0 || index >= static_cast<LRESULT>(modems_.size())) return;
    chosen_ = modems_[static_cast<std::size_t>(index)].wanted;
    check_device_again();
}

// On the desktop's centre without resizing, halves truncated toward zero, on top.
void UpgradeWindow::center_window() {
    RECT desktop{}, own{};
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    ::GetWindowRect(window_, &own);
    const int left = desktop.left + ((desktop.right - desktop.left) - (own.right - own.left)) / 2;
    const int top = desktop.top + ((desktop.bottom - desktop.top) - (own.bottom - own.top)) / 2;
    ::SetWindowPos(window_, HWND_TOP, left, top, 0, 0, SWP_NOSIZE);
}

// A bar asked past its end shows full: the control keeps the position within its range.
void UpgradeWindow::show_progress(int position) {
    ::SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETPOS, position, 0);
    position_ = position;
    if (range_ > 0 && progress_percent(position_, range_) != percent_) draw_status();
}

void UpgradeWindow::show_range(int maximum) {
    ::SendDlgItemMessageA(window_, IDC_PROGRESS, PBM_SETRANGE32, 0,
                          maximum > 0 ? maximum : PROGRESS_RANGE_MAX);
    range_ = maximum > 0 ? maximum : PROGRESS_RANGE_MAX;
    draw_status();
}

void UpgradeWindow::show_status(const std::string& text) {
    status_ = text;
    draw_status();
}

// The bar of the common controls shows no text of its own: the share goes on the status line.
void UpgradeWindow::draw_status() {
    std::string line = status_;
    if (range_ > 0) {
        percent_ = progress_percent(position_, range_);
        line += (line.empty() ? "" : "  ") + std::to_string(percent_) + "%";
    }
    ::SetDlgItemTextA(window_, IDC_STATUS, line.c_str());
}

void UpgradeWindow::show_info(const std::string& text) {
    ::SetDlgItemTextA(window_, IDC_INFO, text.c_str());
}

// Setting the timer again while it runs restarts its period; elapsed_seconds is never reset.
void UpgradeWindow::set_clock_running(bool running) {
    if (running)
        ::SetTimer(window_, ID_TIMER_CLOCK, scaled_ms(kClockPeriodMs), nullptr);
    else
        ::KillTimer(window_, ID_TIMER_CLOCK);
}

void UpgradeWindow::set_start_enabled(bool enabled) {
    ::EnableWindow(::GetDlgItem(window_, IDC_START), enabled);
    ::EnableWindow(::GetDlgItem(window_, IDC_BROWSE), enabled);
    // Held from a run's start (on_start) until a failed run gives Start back.
    if (enabled) ::EnableWindow(::GetDlgItem(window_, IDC_MODEM), TRUE);
}

void UpgradeWindow::on_timer(UINT_PTR id) {
    if (id == ID_TIMER_CLOCK) on_clock_timer();
    if (id == ID_TIMER_PROMPT) on_prompt_timer();
}

void UpgradeWindow::on_clock_timer() {
    const int seconds = ++elapsed_seconds;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", seconds / 60, seconds % 60);
    ::SetDlgItemTextA(window_, IDC_CLOCK, text);
}

// The prompt timer kills itself at its first tick.
void UpgradeWindow::on_prompt_timer() {
    ::KillTimer(window_, ID_TIMER_PROMPT);
    if (closing_) return;
    if (check_thread_.running()) {
        prompt_after_check_ = true;
        return;
    }
    // A device check while the prompt was open may have taken the offer back.
    if (ask_box({kPromptText, kBoxCaption, MB_OKCANCEL | MB_ICONQUESTION}) == IDOK &&
        !awaiting_device_ && !check_thread_.running())
        on_start();
}

void UpgradeWindow::on_command(int id, int code) {
    if (id == IDC_MODEM && code == CBN_SELCHANGE) on_modem_chosen();
    if (code != BN_CLICKED) return;
    if (id == IDC_START) on_start();
    if (id == IDC_BROWSE) browse_folder();
}

// The prompt has no owner, so Start can be pressed while it is open; whichever comes second finds
// the worker running and does nothing.
void UpgradeWindow::on_start() {
    if (closing_ || check_thread_.running() || shell_.worker_running()) return;
    shell_.start(dialog());
    ::EnableWindow(::GetDlgItem(window_, IDC_MODEM), !shell_.worker_running());
}

// The browser opens where the package is, or at home: never at a folder that is not there.
void UpgradeWindow::browse_folder() {
    if (closing_ || check_thread_.running()) return;
    const char* home = std::getenv("USERPROFILE");
    const std::string start = folder_browser_start(*shell_.package_folder, home ? home : "");
    const std::string folder = browse_for_folder(window_, kBrowseTitle, start);
    if (folder.empty()) return;
    ::SetDlgItemTextA(window_, IDC_FOLDER, folder.c_str());
    write_profile_string("firmware", "path", folder.c_str(),
                         shell_.package_folder->settings_path());
}

// The system tells every top-level window of devices coming and going; the dialog is one.
void UpgradeWindow::on_device_change(WPARAM wparam) {
    const int event = static_cast<int>(wparam);
    if (closing_ || (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE)) return;
    shell_.device_change(event);
    check_device_again();
}

// Only the check runs again: the start-up's preparations would reopen, and so empty, the log. The
// prompt comes when a device is offered after none was.
void UpgradeWindow::check_device_again() {
    if (!shell_.worker_running() && check_thread_.device_changed()) run_check(false);
}

// The close button and Alt+F4; Escape sends IDCANCEL, which the dialog ignores. The question has
// no owner, so the close button still works while it is open: no second question is asked then.
void UpgradeWindow::on_close() {
    if (closing_ || asking_to_stop_) return;
    if (shell_.worker_running()) {
        asking_to_stop_ = true;
        const int answer =
            ask_box({kStopRunQuestion, kBoxCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2});
        asking_to_stop_ = false;
        // The worker may have ended, or closed the dialog itself, while the question was open.
        if (answer != IDYES || closing_) return;
    }
    begin_close();
}

void UpgradeWindow::close_when_worker_ends() {
    if (!closing_) begin_close();
}

// From here on no control write, box, start or device change reaches the run. The worker is waited
// for on a helper thread: this thread must go on dispatching, since a worker that is ending may be
// waiting for it (a box being withdrawn, a message sent to the dialog).
void UpgradeWindow::begin_close() {
    closing_ = true;
    posted_.shut();
    withdraw_boxes(true);
    ::KillTimer(window_, ID_TIMER_PROMPT);
    if (check_thread_.running()) {
        // Nothing of a run is lost: the window goes at once, the device is not waited for.
        if (shell_.cancel_check) shell_.cancel_check();
        ::ShowWindow(window_, SW_HIDE);
    }
    stopper_ = std::thread([this, window = window_] {
        check_thread_.wait();
        shell_.stop_worker();
        ::PostMessageA(window, kWorkerStopped, 0, 0);
    });
}

// The worker has ended: only now are the port and the log released.
void UpgradeWindow::finish_close() {
    if (closed_) return;
    if (stopper_.joinable()) stopper_.join();
    const std::string note = shell_.stopped_note ? shell_.stopped_note() : std::string();
    shell_.cleanup();
    ::KillTimer(window_, ID_TIMER_CLOCK);
    closed_ = true;
    withdraw_boxes(false);
    // A run stopped in the middle of the firmware download: the user learns how to finish it.
    if (!note.empty()) ask_box({note, kBoxCaption, MB_OK | MB_ICONWARNING});
    ::EndDialog(window_, 0);
}
