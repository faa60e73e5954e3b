#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/package_folder.h"
#include "app/qt/message_boxes_qt.h"
#include "app/qt/upgrade_window.h"
#include "app/run_dialog.h"
#include "discovery/device_events.h"

namespace {

// The exit status when no window can be shown.
constexpr int kNoDisplay = 2;

const char* program_name = "fwupgrade";
QtMessageHandler previous_handler = nullptr;

bool is_set(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] != '\0';
}

// A user who started the program from a terminal or a script without a desktop learns how the same
// upgrade runs there.
void print_windowless_advice() {
    std::fprintf(stderr,
                 "To upgrade without a window, start it with a command line: %s\n"
                 "%s --help tells more.\n",
                 windowless_command(program_name).c_str(), program_name);
}

// Qt ends the process with an abort when it cannot reach the display it was told of; what it says
// then is about plugins and reinstalling, which helps nobody here. Its warnings before that name
// the display, so they are passed on.
void on_qt_message(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        if (previous_handler) previous_handler(type, context, message);
        return;
    }
    std::fprintf(stderr, "fwupgrade: the display could not be opened.\n");
    print_windowless_advice();
    std::_Exit(kNoDisplay);
}

}  // namespace

int run_dialog(Session& session, int argc, char** argv) {
    if (argc > 0 && argv[0]) program_name = argv[0];
    if (!is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY") && !is_set("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "fwupgrade: no display found (DISPLAY and WAYLAND_DISPLAY are not set).\n");
        print_windowless_advice();
        return kNoDisplay;
    }
    previous_handler = qInstallMessageHandler(on_qt_message);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous_handler);

    QtMessageBoxes boxes;
    set_message_boxes(&boxes);
    {
        UpgradeWindow window(DialogShell::product(session), DeviceMonitor::create());
        QObject::connect(&window, &UpgradeWindow::shut_down, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        window.start_up();
        window.show();
        app.exec();
    }
    set_message_boxes(nullptr);
    return 0;
}
