// Shared pieces of the dialog tests: the QApplication, bounded waits and a box provider that
// records every box and answers it from a script.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTest>
#include <QThread>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "app/qt/message_boxes_qt.h"

namespace dialog_test {

// Waits (dispatching events) until cond holds, at most timeout_ms.
template <typename Condition>
bool wait_until(Condition cond, int timeout_ms = 10000) {
    return QTest::qWaitFor(cond, timeout_ms);
}

struct SeenBox {
    BoxRequest request;
    bool on_gui_thread = false;
};

// Installed as the box provider for its lifetime. Each box is answered by the first scripted
// answer that is waiting, or by default_answer; a hook may act while the box is "open".
class BoxRecorder {
  public:
    BoxRecorder() {
        set_box_provider([this](const BoxRequest& request) { return answer(request); });
    }
    ~BoxRecorder() { set_box_provider(nullptr); }

    void queue_answer(QMessageBox::StandardButton button) { answers_.push_back(button); }
    // Called with each box before it is answered; runs on the GUI thread.
    std::function<void(const BoxRequest&)> while_open;
    QMessageBox::StandardButton default_answer = QMessageBox::Ok;

    std::vector<SeenBox> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::size_t count() const { return seen().size(); }
    bool saw(const QString& text) const {
        for (const SeenBox& box : seen())
            if (box.request.text == text) return true;
        return false;
    }

  private:
    QMessageBox::StandardButton answer(const BoxRequest& request) {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back({request, QThread::currentThread() == qApp->thread()});
        }
        if (while_open) while_open(request);
        if (answers_.empty()) return default_answer;
        const QMessageBox::StandardButton button = answers_.front();
        answers_.pop_front();
        return button;
    }

    mutable std::mutex mutex_;
    std::vector<SeenBox> seen_;
    std::deque<QMessageBox::StandardButton> answers_;
};

}  // namespace dialog_test
