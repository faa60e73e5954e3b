// The console of a windowless run on Windows. The display rewrites its line in place only where
// the console understands the same control sequences as a terminal (virtual terminal processing,
// Windows 10 on); elsewhere it prints plain lines. Ctrl-C, Ctrl-Break and closing the console
// window reach the run through a console control handler, which Windows calls on a thread of its
// own.
#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "app/terminal.h"

namespace {

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

bool is_terminal(std::FILE* stream) {
    HANDLE console = handle_of(stream);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !::GetConsoleMode(console, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminal_width(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(handle_of(stream), &info)) return 80;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? width : 80;
}

namespace {

struct Watch {
    std::function<void(int exit_status)> on_interrupt;
    std::atomic<int> interrupts{0};
    HANDLE finished = nullptr;  // set when the watch goes: the run has ended
};

std::mutex watch_mutex;
Watch* watching = nullptr;

// The exit statuses a shell gives a process ended by Ctrl-C (SIGINT) and by its terminal going
// away (SIGHUP), which a console window closed, a log-off or a shut-down stand for here.
constexpr int kInterruptExit = 130;
constexpr int kHangUpExit = 129;

// How long Windows lets a handler keep the process after its console window was closed.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI on_console_event(DWORD event) {
    Watch* state = nullptr;
    {
        std::lock_guard lock(watch_mutex);
        state = watching;
    }
    if (!state) return FALSE;
    int exit_status = kInterruptExit;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            exit_status = kHangUpExit;
            break;
        default:
            return FALSE;
    }
    // A user who insists gets the process ended at once.
    if (++state->interrupts > 1) std::_Exit(exit_status);
    state->on_interrupt(exit_status);
    // After a close the process ends when this returns: give the run the time it gets to stop
    // and close its log.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        ::WaitForSingleObject(state->finished, kCloseGraceMs);
    return TRUE;
}

}  // namespace

struct InterruptWatch::State {
    Watch watch;
};

InterruptWatch::InterruptWatch(std::function<void(int exit_status)> on_interrupt)
    : state_(std::make_unique<State>()) {
    state_->watch.on_interrupt = std::move(on_interrupt);
    state_->watch.finished = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard lock(watch_mutex);
        watching = &state_->watch;
    }
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptWatch::~InterruptWatch() {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    {
        std::lock_guard lock(watch_mutex);
        watching = nullptr;
    }
    ::SetEvent(state_->watch.finished);
    ::CloseHandle(state_->watch.finished);
}
