#include "base/clock.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr int kLargestDivisor = 1000;

constinit std::atomic<DivisorSource> divisor_source{nullptr};

int read_divisor() {
    const DivisorSource source = divisor_source.load();
    const int value = source ? source() : 1;
    return value < 1 || value > kLargestDivisor ? 1 : value;
}

int divisor() {
    static const int value = read_divisor();
    return value;
}

class RealClock final : public Clock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    Duration length_of(int ms) override { return Duration(scaled_ms(ms)); }
    void sleep_for(Duration length, CancelToken* stop) override {
        if (stop)
            stop->wait_for(length);
        else
            std::this_thread::sleep_for(length);
    }
};

RealClock real_clock_;

}  // namespace

Clock& real_clock() {
    return real_clock_;
}

void set_divisor_source(DivisorSource source) {
    divisor_source.store(source);
}

int scaled_ms(int ms) {
    if (ms <= 0) return 0;
    int scaled = ms / divisor();
    return scaled < 1 ? 1 : scaled;
}

void pause_ms(Clock& clock, CancelToken& stop, int ms) {
    clock.sleep_for(clock.length_of(ms), &stop);
}

void CancelToken::request() {
    {
        std::lock_guard lock(mutex_);
        flag_ = true;
    }
    changed_.notify_all();
}

void CancelToken::clear() {
    std::lock_guard lock(mutex_);
    flag_ = false;
}

void CancelToken::wait_for(std::chrono::milliseconds length) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, length, [this] { return flag_.load(); });
}
