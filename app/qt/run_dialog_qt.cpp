#include <QApplication>

#include "app/qt/message_boxes_qt.h"
#include "app/qt/upgrade_window.h"
#include "app/run_dialog.h"
#include "discovery/device_events.h"

int run_dialog(int argc, char** argv) {
    QApplication app(argc, argv);
    QtMessageBoxes boxes;
    set_message_boxes(&boxes);
    {
        UpgradeWindow window(DialogShell::product(), DeviceMonitor::create());
        QObject::connect(&window, &UpgradeWindow::shut_down, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        window.start_up();
        window.show();
        app.exec();
    }
    set_message_boxes(nullptr);
    return 0;
}
