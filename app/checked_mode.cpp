#include "app/checked_mode.h"

#include <mutex>
#include <utility>

#include "base/clock.h"
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

namespace {

// A user may wait before pressing Start, and a modem may be swapped meanwhile without an event
// reaching the program; a check older than this is asked again.
constexpr int kFreshCheckMs = 5000;

struct CheckedMode {
    int port = -1;
    int mode = MODE_NONE;
    Clock::TimePoint at;
};

std::mutex record_lock;
CheckedMode record;
std::string checked_version;  // guarded by record_lock

}  // namespace

void record_checked_mode(int port, int mode) {
    std::lock_guard<std::mutex> hold(record_lock);
    record = CheckedMode{port, mode, current_clock().now()};
}

void note_device_event() {
    std::lock_guard<std::mutex> hold(record_lock);
    record = CheckedMode{};
}

void record_checked_version(const std::string& version) {
    std::lock_guard<std::mutex> hold(record_lock);
    checked_version = version;
}

std::string take_checked_version() {
    std::lock_guard<std::mutex> hold(record_lock);
    return std::exchange(checked_version, std::string());
}

int take_checked_mode(int port) {
    std::lock_guard<std::mutex> hold(record_lock);
    const CheckedMode taken = record;
    record = CheckedMode{};
    if (taken.port != port || taken.mode == MODE_NONE) return MODE_NONE;
    Clock& clock = current_clock();
    if (clock.now() - taken.at > clock.length_of(kFreshCheckMs)) return MODE_NONE;
    return taken.mode;
}

int recorded_checked_mode() {
    std::lock_guard<std::mutex> hold(record_lock);
    return record.mode;
}
