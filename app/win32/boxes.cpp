#include "app/win32/boxes.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace {

BoxProvider& provider() {
    static BoxProvider instance;
    return instance;
}

std::atomic<bool> withdrawn{false};

// The real boxes open now, by the thread that shows each; the window is known once it is made.
std::mutex open_mutex;
std::map<DWORD, HWND> open_boxes;

// A box ends with the button it has that gives no consent: Cancel, else No, else its only OK.
void close_box(HWND box) {
    for (int id : {IDCANCEL, IDNO, IDOK}) {
        if (HWND button = ::GetDlgItem(box, id)) {
            ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                           reinterpret_cast<LPARAM>(button));
            return;
        }
    }
}

// A box is a dialog window without a parent. The system may make other windows without a parent
// on the thread at the same time (the input method's window with a thread's first window).
bool is_box(HWND window, const CBT_CREATEWNDA* made) {
    char name[16] = {};
    ::GetClassNameA(window, name, sizeof name);
    return !made->lpcs->hwndParent && std::strcmp(name, "#32770") == 0;
}

// Learns the box's window as it is made. A box that comes up after the withdrawal is closed as
// soon as it is activated, when its buttons exist, so that no asker can miss the withdrawal.
LRESULT CALLBACK on_box_event(int code, WPARAM wparam, LPARAM lparam) {
    const HWND window = reinterpret_cast<HWND>(wparam);
    if (code == HCBT_CREATEWND || code == HCBT_ACTIVATE) {
        std::lock_guard lock(open_mutex);
        HWND& box = open_boxes[::GetCurrentThreadId()];
        if (code == HCBT_CREATEWND && !box &&
            is_box(window, reinterpret_cast<CBT_CREATEWNDA*>(lparam)))
            box = window;
        else if (code == HCBT_ACTIVATE && box == window && withdrawn)
            close_box(box);
    }
    return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

int show_real_box(const BoxRequest& request) {
    const DWORD thread = ::GetCurrentThreadId();
    {
        std::lock_guard lock(open_mutex);
        open_boxes[thread] = nullptr;
    }
    HHOOK hook = ::SetWindowsHookExA(WH_CBT, on_box_event, nullptr, thread);
    const int answer =
        ::MessageBoxA(nullptr, request.text.c_str(), request.caption.c_str(), request.type);
    if (hook) ::UnhookWindowsHookEx(hook);
    std::lock_guard lock(open_mutex);
    open_boxes.erase(thread);
    return answer;
}

}  // namespace

void set_box_provider(BoxProvider box_provider) {
    provider() = std::move(box_provider);
}

int ask_box(const BoxRequest& request) {
    if (withdrawn) return 0;
    const int answer = provider() ? provider()(request) : show_real_box(request);
    // A box closed because the dialog is closing has no answer.
    return withdrawn ? 0 : answer;
}

void withdraw_boxes(bool withdraw) {
    std::lock_guard lock(open_mutex);
    withdrawn = withdraw;
    if (!withdraw) return;
    for (const auto& [thread, box] : open_boxes)
        if (box) close_box(box);
}

bool Win32MessageBoxes::show(const std::string& text, const std::string& caption,
                             BoxButtons buttons, BoxIcon icon) {
    BoxRequest request{
        text, caption,
        static_cast<unsigned>(buttons == BoxButtons::OkCancel ? MB_OKCANCEL : MB_OK)};
    switch (icon) {
        case BoxIcon::Question:
            request.type |= MB_ICONQUESTION;
            break;
        case BoxIcon::Information:
            request.type |= MB_ICONINFORMATION;
            break;
        case BoxIcon::Error:
            request.type |= MB_ICONERROR;
            break;
    }
    return ask_box(request) == IDOK;
}
