// Plays the user of the Windows program's dialog in a whole run under wine, from a process of its
// own, as a person would: it waits for the dialog, answers OK to the prompt and to "Download ok",
// watches the status line, the bar and the clock meanwhile, and checks that the dialog then
// closes by itself. The program itself is unchanged: it shows its real message boxes.
//
//   dialog_driver [--shot] [--shot-end]
//
// Prints what it saw; exit status 0 when all was as expected, 1 otherwise. With --shot it prints
// "shot <x> <y> <width> <height>" (the dialog on the screen) once the firmware image is being
// written, with --shot-end "shot-end <x> <y> <width> <height>" while "Download ok" is up, for a
// screenshot taken from the Linux side; after each it waits for a line on its input (the shot is
// taken) before it goes on, so that the dialog is still there.
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOpenLimitMs = 60000;
constexpr int kRunLimitMs = 600000;
constexpr int kCloseLimitMs = 30000;
const std::string kPrompt = "Do you want to upgrade firmware?\n";
const std::string kOk = "Download ok\n";

std::string text_of(HWND window) {
    char text[512] = {};
    const int length = ::GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? length : 0);
}

// A box's text is its longest static text (the other static holds its icon).
std::string box_text(HWND box) {
    std::string longest;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (text_of(child).size() > longest.size()) longest = text_of(child);
    return longest;
}

bool elapsed_over(Clock::time_point since, int ms) {
    return Clock::now() - since > std::chrono::milliseconds(ms);
}

// What the user saw, and the checks on it.
struct Watch {
    HWND dialog = nullptr;
    bool shot = false;
    bool shot_end = false;
    std::vector<std::string> statuses;  // each change of the text before "...", in order
    std::vector<std::string> boxes;
    std::vector<std::string> faults;
    HWND last_box = nullptr;
    Clock::time_point ok_answered{};

    void fault(const std::string& what) { faults.push_back(what); }
    void look_at_status();
    void ask_shot(const char* tag, HWND box = nullptr);
    void answer(HWND box);
    void take_ok_box(HWND box);
};

void Watch::look_at_status() {
    const std::string status = text_of(::GetDlgItem(dialog, IDC_STATUS));
    const std::size_t dots = status.find("...");
    const std::string stem = dots == std::string::npos ? status : status.substr(0, dots + 3);
    if (!status.empty() && (statuses.empty() || statuses.back() != stem)) statuses.push_back(stem);
    if (!shot || stem != "Downloading amss.mbn..." || std::atoi(status.c_str() + 23) < 5) return;
    ask_shot("shot");
    shot = false;
}

// A box given is moved just under the dialog first, as a user would drag it aside, so that the
// shot shows it and the lines it would cover.
void Watch::ask_shot(const char* tag, HWND box) {
    RECT rect{};
    ::GetWindowRect(dialog, &rect);
    if (box) {
        RECT box_at{};
        ::GetWindowRect(box, &box_at);
        const LONG left = (rect.left + rect.right - (box_at.right - box_at.left)) / 2;
        ::SetWindowPos(box, HWND_TOP, left, rect.bottom + 4, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        for (HWND shown : {dialog, box})
            ::RedrawWindow(
                shown, nullptr, nullptr,
                RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
        ::GetWindowRect(box, &box_at);
        ::UnionRect(&rect, &rect, &box_at);
    }
    std::printf("%s %ld %ld %ld %ld\n", tag, rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    std::fflush(stdout);
    char taken[16];
    if (!std::fgets(taken, sizeof taken, stdin)) fault("no answer to a screenshot request");
}

// At the success box the bar is full over the range the run set, and the clock has run.
void Watch::take_ok_box(HWND box) {
    HWND bar = ::GetDlgItem(dialog, IDC_PROGRESS);
    const LRESULT position = ::SendMessageA(bar, PBM_GETPOS, 0, 0);
    const LRESULT range = ::SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    const std::string clock = text_of(::GetDlgItem(dialog, IDC_CLOCK));
    std::printf("dialog_driver: at \"Download ok\": bar %lld of %lld, clock %s\n",
                static_cast<long long>(position), static_cast<long long>(range), clock.c_str());
    if (position != range || range == PROGRESS_RANGE_MAX)
        fault("the bar is not full over its run's range");
    if (clock.size() != 5 || clock[2] != ':' || clock == "00:00") fault("the clock did not run");
    if (::GetDlgItem(box, IDCANCEL)) fault("the success box has a Cancel button");
    // The lines under the box agree with it: the version the device now runs and the log's path.
    const std::string status = text_of(::GetDlgItem(dialog, IDC_STATUS));
    const std::string info = text_of(::GetDlgItem(dialog, IDC_INFO));
    std::printf("dialog_driver: at \"Download ok\": status \"%s\", information \"%s\"\n",
                status.c_str(), info.c_str());
    if (status.rfind("Download ok", 0) != 0) fault("the status line does not say Download ok");
    if (info.rfind("Device now runs version ", 0) != 0 ||
        info.find(". Log: ") == std::string::npos || info.find("download.dbg") == std::string::npos)
        fault("the information line does not give the version and the log");
    ok_answered = Clock::now();
    if (shot_end) ask_shot("shot-end", box);
}

void Watch::answer(HWND box) {
    last_box = box;
    const std::string text = box_text(box);
    boxes.push_back(text);
    std::printf("dialog_driver: box \"%s\"\n", text.substr(0, text.find('\n')).c_str());
    if (::GetWindow(box, GW_OWNER)) fault("a box has an owner window");
    if (text == kPrompt && !::GetDlgItem(box, IDCANCEL)) fault("the prompt has no Cancel button");
    if (text == kOk) take_ok_box(box);
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    // Any other box ends the run: the dialog is closed so that the program ends.
    if (text != kPrompt && text != kOk) ::PostMessageA(dialog, WM_CLOSE, 0, 0);
}

HWND wait_for_dialog() {
    const Clock::time_point start = Clock::now();
    while (!elapsed_over(start, kOpenLimitMs)) {
        if (HWND dialog = ::FindWindowA("#32770", "Firmware Upgrade Tool")) return dialog;
        ::Sleep(10);
    }
    return nullptr;
}

// The statuses every run of the sample package shows long enough to be seen, in this order.
void check_statuses(Watch& watch) {
    const char* expected[] = {"Copying file to device...", "Downloading partition.mbn...",
                              "Downloading amss.mbn..."};
    std::size_t at = 0;
    for (const char* status : expected) {
        while (at < watch.statuses.size() && watch.statuses[at] != status)
            ++at;
        if (at == watch.statuses.size()) watch.fault(std::string("no status ") + status);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Watch watch;
    for (int i = 1; i < argc; ++i) {
        watch.shot = watch.shot || std::string(argv[i]) == "--shot";
        watch.shot_end = watch.shot_end || std::string(argv[i]) == "--shot-end";
    }
    watch.dialog = wait_for_dialog();
    if (!watch.dialog) {
        std::printf("dialog_driver: no dialog appeared\n");
        return 1;
    }
    std::printf("dialog_driver: the dialog is open\n");
    const Clock::time_point start = Clock::now();
    while (::IsWindow(watch.dialog) && !elapsed_over(start, kRunLimitMs)) {
        if (!watch.boxes.empty()) watch.look_at_status();  // the run begins with the prompt's OK
        // A box is found as soon as it is made; it is read once it shows, with its text and
        // buttons.
        HWND box = ::FindWindowA("#32770", "Upgrade Tools");
        if (box && box != watch.last_box && ::IsWindowVisible(box)) watch.answer(box);
        ::Sleep(5);
    }
    std::string seen;
    for (const std::string& status : watch.statuses)
        seen += (seen.empty() ? "" : " | ") + status;
    std::printf("dialog_driver: statuses %s\n", seen.c_str());
    if (watch.boxes != std::vector<std::string>{kPrompt, kOk})
        watch.fault("the boxes were not the prompt and then \"Download ok\"");
    check_statuses(watch);
    if (::IsWindow(watch.dialog))
        watch.fault("the dialog is still open");
    else if (watch.ok_answered == Clock::time_point{} ||
             elapsed_over(watch.ok_answered, kCloseLimitMs))
        watch.fault("the dialog did not close by itself after \"Download ok\"");
    for (const std::string& fault : watch.faults)
        std::printf("dialog_driver: FAILED: %s\n", fault.c_str());
    std::printf("dialog_driver: %s\n", watch.faults.empty() ? "all as expected" : "failed");
    return watch.faults.empty() ? 0 : 1;
}
