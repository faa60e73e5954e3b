#include "app/base/reasons.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "app/base/log.h"

namespace {

std::mutex listener_mutex;
std::function<void(const std::string&)> listener;
std::atomic<int> told{0};

}  // namespace

void tell_reason(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_write("%s\n", text);
    ++told;
    std::function<void(const std::string&)> call;
    {
        std::lock_guard lock(listener_mutex);
        call = listener;
    }
    if (call) call(text);
}

void set_reason_listener(std::function<void(const std::string& reason)> function) {
    std::lock_guard lock(listener_mutex);
    listener = std::move(function);
}

int reasons_told() {
    return told.load();
}
