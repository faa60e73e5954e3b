#include "app/qt/message_boxes_qt.h"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <vector>

namespace {

BoxProvider& provider() {
    static BoxProvider instance;
    return instance;
}

std::atomic<bool> withdrawn{false};

// The real boxes being shown now (GUI thread only), so that withdrawing can close them.
std::vector<QPointer<QMessageBox>>& open_boxes() {
    static std::vector<QPointer<QMessageBox>> boxes;
    return boxes;
}

// Owned by no window, like the boxes of the Windows program; application-modal while shown.
QMessageBox::StandardButton show_real_box(const BoxRequest& request) {
    QMessageBox box(request.icon, request.caption, request.text, request.buttons);
    if (request.default_button != QMessageBox::NoButton)
        box.setDefaultButton(request.default_button);
    open_boxes().emplace_back(&box);
    const int answer = box.exec();
    auto& boxes = open_boxes();
    boxes.erase(
        std::remove_if(boxes.begin(), boxes.end(),
                       [&box](const QPointer<QMessageBox>& p) { return p.isNull() || p == &box; }),
        boxes.end());
    return static_cast<QMessageBox::StandardButton>(answer);
}

QMessageBox::StandardButton ask_on_gui_thread(const BoxRequest& request) {
    if (withdrawn) return QMessageBox::NoButton;
    const QMessageBox::StandardButton answer =
        provider() ? provider()(request) : show_real_box(request);
    // A box closed because the dialog is closing has no answer.
    return withdrawn ? QMessageBox::NoButton : answer;
}

}  // namespace

void set_box_provider(BoxProvider box_provider) {
    provider() = std::move(box_provider);
}

QMessageBox::StandardButton ask_box(const BoxRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || withdrawn) return QMessageBox::NoButton;
    if (QThread::currentThread() == app->thread()) return ask_on_gui_thread(request);

    // The worker waits here until the GUI thread has shown the box and the user has answered. The
    // GUI thread never waits for the worker, so this cannot deadlock.
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    QMetaObject::invokeMethod(
        app, [&answer, &request] { answer = ask_on_gui_thread(request); },
        Qt::BlockingQueuedConnection);
    return answer;
}

void withdraw_boxes(bool withdraw) {
    withdrawn = withdraw;
    if (!withdraw) return;
    // Closing a box ends its exec(); its asker then sees the withdrawal.
    const auto boxes = open_boxes();
    for (const QPointer<QMessageBox>& box : boxes)
        if (box) box->done(QMessageBox::NoButton);
}

bool QtMessageBoxes::show(const std::string& text, const std::string& caption, BoxButtons buttons,
                          BoxIcon icon) {
    BoxRequest request;
    request.text = QString::fromStdString(text);
    request.caption = QString::fromStdString(caption);
    request.buttons = buttons == BoxButtons::OkCancel
                          ? (QMessageBox::Ok | QMessageBox::Cancel)
                          : QMessageBox::StandardButtons(QMessageBox::Ok);
    switch (icon) {
        case BoxIcon::Question:
            request.icon = QMessageBox::Question;
            break;
        case BoxIcon::Information:
            request.icon = QMessageBox::Information;
            break;
        case BoxIcon::Error:
            request.icon = QMessageBox::Critical;
            break;
    }
    return ask_box(request) == QMessageBox::Ok;
}
