#include "app/qt/queued_dialog.h"

#include <QString>
#include <QThread>

#include "app/qt/upgrade_window.h"

template <typename Call>
void QueuedDialog::run(Call call) {
    if (!open_) return;
    if (QThread::currentThread() == window_->thread()) {
        call();
        return;
    }
    // The window is the context: a call still queued when the window goes away is dropped.
    QMetaObject::invokeMethod(
        window_,
        [this, call] {
            if (open_) call();
        },
        Qt::QueuedConnection);
}

void QueuedDialog::set_progress(int position) {
    run([w = window_, position] { w->show_progress(position); });
}

void QueuedDialog::set_range(int maximum) {
    run([w = window_, maximum] { w->show_range(maximum); });
}

void QueuedDialog::set_status(const std::string& text) {
    run([w = window_, t = QString::fromStdString(text)] { w->show_status(t); });
}

void QueuedDialog::set_info(const std::string& text) {
    run([w = window_, t = QString::fromStdString(text)] { w->show_info(t); });
}

void QueuedDialog::set_clock_timer(bool running) {
    run([w = window_, running] { w->set_clock_running(running); });
}

void QueuedDialog::enable_start(bool enabled) {
    run([w = window_, enabled] { w->set_start_enabled(enabled); });
}

void QueuedDialog::post_close() {
    run([w = window_] { w->close_when_worker_ends(); });
}
