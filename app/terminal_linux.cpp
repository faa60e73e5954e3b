#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/terminal.h"

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

int terminal_width(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// The shell's status for a process ended by a signal.
constexpr int kSignalExitBase = 128;

// SIGINT, SIGTERM and SIGHUP are blocked in every thread (threads created later inherit the mask)
// and taken by one thread with sigwait, so no handler ever runs in the middle of the worker.
struct InterruptWatch::State {
    sigset_t signals;
    sigset_t previous;
    struct sigaction previous_pipe {};
    std::atomic<bool> closing{false};
    std::thread watcher;
};

InterruptWatch::InterruptWatch(std::function<void(int exit_status)> on_interrupt)
    : state_(std::make_unique<State>()) {
    State* s = state_.get();
    sigemptyset(&s->signals);
    sigaddset(&s->signals, SIGINT);
    sigaddset(&s->signals, SIGTERM);
    // A closed terminal is the user going away: the run stops as on Ctrl-C.
    sigaddset(&s->signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &s->signals, &s->previous);
    // Output to a terminal or pipe that has gone then fails instead of ending the process before
    // the worker has stopped and the log is closed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &s->previous_pipe);
    s->watcher = std::thread([s, on_interrupt = std::move(on_interrupt)] {
        int signal = 0;
        int interrupts = 0;
        while (sigwait(&s->signals, &signal) == 0) {
            if (s->closing) return;
            // A user who insists gets the process ended at once.
            if (++interrupts > 1) std::_Exit(kSignalExitBase + signal);
            on_interrupt(kSignalExitBase + signal);
        }
    });
}

InterruptWatch::~InterruptWatch() {
    state_->closing = true;
    pthread_kill(state_->watcher.native_handle(), SIGTERM);
    state_->watcher.join();
    pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr);
    sigaction(SIGPIPE, &state_->previous_pipe, nullptr);
}
