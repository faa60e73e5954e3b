// The Win32 dialog under test: it runs modally on a thread of its own, as the program runs it on
// its main thread, while the test's thread drives it with messages and reads its controls. Boxes
// are answered by a recorder, and every wait is bounded.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/boxes.h"
#include "app/win32/upgrade_window.h"

namespace win32_test {

template <typename Condition>
bool wait_until(Condition cond, int timeout_ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        ::Sleep(2);
    }
    return true;
}

inline std::string text_of(HWND window) {
    char text[512] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

struct SeenBox {
    BoxRequest request;
    DWORD thread = 0;
    std::chrono::steady_clock::time_point at;
};

// Installed as the box provider for its lifetime. Each box is answered by the first queued
// answer, else by default_answer (a Yes/No question by Yes); while_open runs on the asking thread
// before the answer.
class BoxRecorder {
  public:
    BoxRecorder() {
        set_box_provider([this](const BoxRequest& request) { return answer(request); });
    }
    ~BoxRecorder() { set_box_provider(nullptr); }

    void queue_answer(int button) {
        std::lock_guard lock(mutex_);
        answers_.push_back(button);
    }
    std::vector<SeenBox> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::size_t count() const { return seen().size(); }

    std::function<void(const BoxRequest&)> while_open;
    int default_answer = IDOK;

  private:
    int answer(const BoxRequest& request) {
        int button = (request.type & MB_TYPEMASK) == MB_YESNO ? IDYES : default_answer;
        {
            std::lock_guard lock(mutex_);
            seen_.push_back({request, ::GetCurrentThreadId(), std::chrono::steady_clock::now()});
            if (!answers_.empty()) {
                button = answers_.front();
                answers_.pop_front();
            }
        }
        if (while_open) while_open(request);
        return button;
    }

    mutable std::mutex mutex_;
    std::vector<SeenBox> seen_;
    std::deque<int> answers_;
};

// The dialog's first window on the thread: the dialog, or a box it shows.
inline HWND window_of_thread(DWORD thread, const char* title) {
    struct Search {
        const char* title;
        HWND found;
    } search{title, nullptr};
    ::EnumThreadWindows(
        thread,
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (text_of(window) != s->title) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class DialogThread {
  public:
    // The dialog's clock starts at elapsed_seconds.
    explicit DialogThread(DialogShell shell, int elapsed_seconds = 0) : window_(std::move(shell)) {
        window_.elapsed_seconds = elapsed_seconds;
        thread_ = std::thread([this] {
            thread_id = std::this_thread::get_id();
            id = ::GetCurrentThreadId();
            result = window_.run();
            done = true;
        });
        // The modal loop shows the dialog once WM_INITDIALOG is done.
        wait_until([this] {
            hwnd = id ? window_of_thread(id, "Firmware Upgrade Tool") : nullptr;
            return hwnd && ::IsWindowVisible(hwnd);
        });
    }
    // A dialog the test left open is closed (the stop question, if any, is answered by the test's
    // recorder).
    ~DialogThread() {
        if (!done && hwnd) ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
        wait_until([this] { return done.load(); });
        thread_.join();
    }

    HWND item(int id) const { return ::GetDlgItem(hwnd, id); }
    std::string text(int id) const { return text_of(item(id)); }
    // What a click on the button sends.
    void click(int id) const {
        ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(item(id)));
    }
    bool closed() const { return done; }
    bool checking() const { return window_.checking(); }
    int elapsed_seconds() const { return window_.elapsed_seconds; }

    HWND hwnd = nullptr;
    std::atomic<DWORD> id{0};
    std::thread::id thread_id;
    std::atomic<bool> done{false};
    INT_PTR result = -2;

  private:
    UpgradeWindow window_;
    std::thread thread_;
};

}  // namespace win32_test
