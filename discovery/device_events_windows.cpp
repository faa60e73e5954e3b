// Device-change events on Windows. The system broadcasts WM_DEVICECHANGE for ports and volumes to
// every top-level window; the upgrade dialog is one and receives them itself. A run without a
// window gets them through a hidden top-level window of its own, on a thread of its own (a
// message-only window would hear no broadcasts).
#include <windows.h>

#include <thread>

#include "discovery/device_events.h"

namespace {

constexpr const char* kWindowClass = "fwupgrade device events";

LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE) {
        auto* handler =
            reinterpret_cast<std::function<void(int)>*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        const int event = static_cast<int>(wparam);
        if (handler && (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE))
            (*handler)(event);
        return TRUE;
    }
    if (message == WM_CLOSE) {
        ::DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

HWND make_window(std::function<void(int)>* handler) {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = on_message;
    window_class.hInstance = ::GetModuleHandleA(nullptr);
    window_class.lpszClassName = kWindowClass;
    ::RegisterClassA(&window_class);  // already registered by an earlier thread: no harm
    HWND window = ::CreateWindowExA(0, kWindowClass, kWindowClass, WS_OVERLAPPED, 0, 0, 0, 0,
                                    nullptr, nullptr, window_class.hInstance, nullptr);
    if (window) ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
    return window;
}

}  // namespace

// The dialog hears the events as window messages; there is nothing to watch besides them.
std::unique_ptr<DeviceMonitor> DeviceMonitor::create() {
    return nullptr;
}

struct DeviceEventThread::State {
    std::function<void(int)> handler;
    HANDLE ready = nullptr;
    HWND window = nullptr;
    std::thread loop;
};

DeviceEventThread::DeviceEventThread(std::function<void(int event)> handler)
    : state_(std::make_unique<State>()) {
    State* s = state_.get();
    s->handler = std::move(handler);
    s->ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->loop = std::thread([s] {
        s->window = make_window(&s->handler);
        ::SetEvent(s->ready);
        if (!s->window) return;
        MSG message;
        while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    });
    ::WaitForSingleObject(s->ready, INFINITE);
}

DeviceEventThread::~DeviceEventThread() {
    if (state_->window) ::PostMessageA(state_->window, WM_CLOSE, 0, 0);
    state_->loop.join();
    ::CloseHandle(state_->ready);
}
