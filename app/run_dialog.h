// Runs the upgrade dialog until it closes; the program's exit status. Each build links one
// implementation: the Qt dialog, the Win32 dialog of the Windows program, or, in a build without a
// dialog, a note that tells the user to start the program with a command line.
#pragma once

class Session;

// The dialog works on session, the program's own run.

int run_dialog(Session& session, int argc, char** argv);
