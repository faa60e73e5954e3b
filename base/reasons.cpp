#include "base/reasons.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "base/clock.h"
#include "base/log_sink.h"

namespace {

// The text of a reason, cut to what one line of the console holds.
constexpr int kReasonSize = 1024;

}  // namespace

void LogSink::tell_reason(const char* format, ...) {
    va_list args;
    va_start(args, format);
    tell_reason_list(format, args);
    va_end(args);
}

void LogSink::tell_reason_list(const char* format, std::va_list args) {
    char text[kReasonSize];
    std::vsnprintf(text, sizeof text, format, args);
    write("%s\n", text);
    ++told_;
    Listener call;
    {
        std::lock_guard lock(listener_mutex_);
        call = listener_;
    }
    if (call) call(text);
}

void LogSink::set_reason_listener(Listener listener) {
    std::lock_guard lock(listener_mutex_);
    listener_ = std::move(listener);
}

void LogSink::tell_no_answer(Clock& clock, int attempts_left, std::chrono::milliseconds silent) {
    if (silent < clock.length_of(kNoAnswerAfterMs)) return;
    Listener call;
    {
        std::lock_guard lock(notice_mutex_);
        const Clock::TimePoint now = clock.now();
        // A clock that went back (another line's, on a clock of its own) starts the gap afresh.
        if (notice_shown_ && now >= last_notice_ &&
            now < last_notice_ + clock.length_of(kNoAnswerGapMs))
            return;
        notice_shown_ = true;
        last_notice_ = now;
        call = notice_listener_;
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

void LogSink::set_no_answer_listener(Listener listener) {
    std::lock_guard lock(notice_mutex_);
    notice_listener_ = std::move(listener);
}

void LogSink::restart_no_answer_notices() {
    std::lock_guard lock(notice_mutex_);
    notice_shown_ = false;
}

void tell_reason(const char* format, ...) {
    va_list args;
    va_start(args, format);
    program_log().tell_reason_list(format, args);
    va_end(args);
}

void set_reason_listener(std::function<void(const std::string& reason)> listener) {
    program_log().set_reason_listener(std::move(listener));
}

int reasons_told() {
    return program_log().reasons_told();
}

void tell_no_answer(Clock& clock, int attempts_left, std::chrono::milliseconds silent) {
    program_log().tell_no_answer(clock, attempts_left, silent);
}

void set_no_answer_listener(std::function<void(const std::string& notice)> listener) {
    program_log().set_no_answer_listener(std::move(listener));
}

void restart_no_answer_notices() {
    program_log().restart_no_answer_notices();
}
