// Identifiers of the upgrade dialog, its controls and its timers.
#pragma once

constexpr int IDD_UPGRADE = 130;

constexpr int IDC_PROGRESS = 1011;  // progress bar, range 0..185
constexpr int IDC_FOLDER = 1012;    // hidden: folder picked with the browse button
constexpr int IDC_BROWSE = 1013;    // hidden: "...."
constexpr int IDC_START = 1014;     // "Start "
constexpr int IDC_PORT = 1016;      // hidden, never written or read
constexpr int IDC_STATUS = 1017;    // status line
constexpr int IDC_INFO = 1018;      // information line
constexpr int IDC_CLOCK = 1020;     // elapsed time "mm:ss"

constexpr int ID_TIMER_CLOCK = 33268;   // 1000 ms, set by the worker
constexpr int ID_TIMER_PROMPT = 34268;  // 300 ms, set after a successful start-up check

constexpr int PROGRESS_RANGE_MAX = 185;
