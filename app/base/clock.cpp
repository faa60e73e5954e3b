#include "app/base/clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex stop_mutex;
std::condition_variable stop_changed;
std::atomic<bool> stop_flag{false};

int read_divisor() {
    const char* text = std::getenv("FWUP_TIME_DIVISOR");
    if (!text || !*text) return 1;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 1000) return 1;
    return static_cast<int>(value);
}

int divisor() {
    static const int value = read_divisor();
    return value;
}

}  // namespace

int scaled_ms(int ms) {
    if (ms <= 0) return 0;
    int scaled = ms / divisor();
    return scaled < 1 ? 1 : scaled;
}

void pause_ms(int ms) {
    const auto duration = std::chrono::milliseconds(scaled_ms(ms));
    std::unique_lock lock(stop_mutex);
    stop_changed.wait_for(lock, duration, [] { return stop_flag.load(); });
}

void request_stop() {
    {
        std::lock_guard lock(stop_mutex);
        stop_flag = true;
    }
    stop_changed.notify_all();
}

bool stop_requested() {
    return stop_flag.load();
}

void clear_stop() {
    std::lock_guard lock(stop_mutex);
    stop_flag = false;
}
