// Message boxes with QMessageBox. A box can be asked for from any thread: it is always shown on the
// GUI thread, and a worker that asks waits until the user has answered, as it would on Windows.
//
// Tests replace what shows the box (set_box_provider) and answer it themselves; the provider is
// always called on the GUI thread.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

#include "app/dialog.h"

struct BoxRequest {
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
};

using BoxProvider = std::function<QMessageBox::StandardButton(const BoxRequest& request)>;

// An empty provider restores the real QMessageBox.
void set_box_provider(BoxProvider provider);

// Shows the box on the GUI thread and returns the button pressed. The calling thread waits for the
// answer. Returns QMessageBox::NoButton at once while boxes are withdrawn or without a
// QApplication.
QMessageBox::StandardButton ask_box(const BoxRequest& request);

// While the dialog closes nobody is left to answer a box: withdrawing closes the boxes that are
// open (their askers get NoButton) and answers new ones with NoButton without showing them.
void withdraw_boxes(bool withdrawn);

// The MessageBoxes of the core (app/dialog.h) on top of ask_box.
class QtMessageBoxes : public MessageBoxes {
  public:
    bool show(const std::string& text, const std::string& caption, BoxButtons buttons,
              BoxIcon icon) override;
};
