#include "base/reasons.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "base/clock.h"
#include "base/log.h"

namespace {

std::mutex listener_mutex;
std::function<void(const std::string&)> listener;
std::atomic<int> told{0};

std::mutex notice_mutex;
std::function<void(const std::string&)> notice_listener;
bool notice_shown = false;
Clock::TimePoint last_notice;

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

void tell_no_answer(Clock& clock, int attempts_left, std::chrono::milliseconds silent) {
    if (silent < clock.length_of(kNoAnswerAfterMs)) return;
    std::function<void(const std::string&)> call;
    {
        std::lock_guard lock(notice_mutex);
        const Clock::TimePoint now = clock.now();
        // A clock that went back (another line's, on a clock of its own) starts the gap afresh.
        if (notice_shown && now >= last_notice &&
            now < last_notice + clock.length_of(kNoAnswerGapMs))
            return;
        notice_shown = true;
        last_notice = now;
        call = notice_listener;
    }
    // In the product's seconds, whatever the clock's divisor.
    const long long seconds =
        silent.count() / std::max<long long>(1, clock.length_of(1000).count());
    char text[128];
    std::snprintf(text, sizeof text,
                  "the device has not answered for %lld s; trying again, %d attempt%s left",
                  seconds, attempts_left, attempts_left == 1 ? "" : "s");
    if (call) call(text);
}

void set_no_answer_listener(std::function<void(const std::string& notice)> function) {
    std::lock_guard lock(notice_mutex);
    notice_listener = std::move(function);
}

void restart_no_answer_notices() {
    std::lock_guard lock(notice_mutex);
    notice_shown = false;
}
