#include "app/win32/posted_dialog.h"

#include "app/win32/upgrade_window.h"

void PostedDialog::attach(HWND window) {
    std::lock_guard lock(mutex_);
    hwnd_ = window;
    thread_ = ::GetWindowThreadProcessId(window, nullptr);
}

void PostedDialog::run(std::function<void()> call) {
    if (!open_) return;
    std::unique_lock lock(mutex_);
    if (::GetCurrentThreadId() == thread_) {
        lock.unlock();
        call();
        return;
    }
    // One message announces the calls that wait; the next call after they are taken posts again.
    const bool announce = queue_.empty();
    queue_.push_back(std::move(call));
    if (announce && hwnd_) ::PostMessageA(hwnd_, kRunQueuedCalls, 0, 0);
}

void PostedDialog::run_queued() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(queue_);
    }
    for (const std::function<void()>& call : calls)
        if (open_) call();
}

void PostedDialog::set_progress(int position) {
    run([w = window_, position] { w->show_progress(position); });
}

void PostedDialog::set_range(int maximum) {
    run([w = window_, maximum] { w->show_range(maximum); });
}

void PostedDialog::set_status(const std::string& text) {
    run([w = window_, text] { w->show_status(text); });
}

void PostedDialog::set_info(const std::string& text) {
    run([w = window_, text] { w->show_info(text); });
}

void PostedDialog::set_clock_timer(bool running) {
    run([w = window_, running] { w->set_clock_running(running); });
}

void PostedDialog::enable_start(bool enabled) {
    run([w = window_, enabled] { w->set_start_enabled(enabled); });
}

void PostedDialog::post_close() {
    run([w = window_] { w->close_when_worker_ends(); });
}
