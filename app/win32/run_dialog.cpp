// run_dialog of the Windows program: the upgrade dialog from the program's resource, its message
// boxes with MessageBoxA.
#include <windows.h>

#include <cstdio>

#include "app/run_dialog.h"
#include "app/win32/boxes.h"
#include "app/win32/upgrade_window.h"

namespace {

// The exit status when the dialog cannot be shown, as on Linux without a display.
constexpr int kNoDialog = 2;

// The program is a console program, so that a run with a command line reports in the console it
// was started from. Started with a double-click it gets a console window of its own, which the
// dialog has no use for: it goes as the dialog comes.
void leave_own_console() {
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) == 1) ::FreeConsole();
}

}  // namespace

int run_dialog(Session& session, int, char** argv) {
    leave_own_console();
    Win32MessageBoxes boxes;
    set_message_boxes(&boxes);
    UpgradeWindow window(DialogShell::product(session));
    const INT_PTR result = window.run();
    set_message_boxes(nullptr);
    if (result != -1) return 0;
    // Seen only by a user who started it from a console (under wine: without a display).
    std::fprintf(stderr,
                 "fwupgrade: the dialog could not be shown.\n"
                 "To upgrade without a window, start it with a command line: %s run\n"
                 "%s --help tells more.\n",
                 argv[0], argv[0]);
    return kNoDialog;
}
