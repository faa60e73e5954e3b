// Identifiers of the upgrade dialog, its controls and its timers, shared by the C++ code and the
// dialog resource (resource compilers read #defines only).
#pragma once

#define IDD_UPGRADE 130

#define IDC_PROGRESS 1011  // progress bar, range 0..185 until a run sets its own
#define IDC_FOLDER 1012    // hidden: folder picked with the browse button
#define IDC_BROWSE 1013    // hidden: "...."
#define IDC_START 1014     // "Start "
#define IDC_PORT 1016      // hidden, never written or read
#define IDC_STATUS 1017    // status line
#define IDC_INFO 1018      // information line
#define IDC_CLOCK 1020     // elapsed time "mm:ss"
#define IDC_MODEM 1021     // hidden unless several modems are plugged in: which one to upgrade

#define ID_TIMER_CLOCK 33268   // 1000 ms, set by the worker
#define ID_TIMER_PROMPT 34268  // 300 ms, set after a successful start-up check

#define PROGRESS_RANGE_MAX 185
