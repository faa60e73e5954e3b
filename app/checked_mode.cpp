#include "app/checked_mode.h"

#include <mutex>
#include <utility>

#include "app/session.h"
#include "base/clock.h"
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

namespace {

// A user may wait before pressing Start, and a modem may be swapped meanwhile without an event
// reaching the program; a check older than this is asked again.
constexpr int kFreshCheckMs = 5000;

static_assert(MODE_NONE == 0, "a CheckedRecord starts with no mode");

void forget_mode(CheckedRecord& record) {
    record.port = -1;
    record.mode = MODE_NONE;
    record.at = {};
}

}  // namespace

void record_checked_mode(Session& session, int port, int mode) {
    CheckedRecord& record = session.checked;
    std::lock_guard<std::mutex> hold(record.lock);
    record.port = port;
    record.mode = mode;
    record.at = session.clock().now();
}

void note_device_event(Session& session) {
    std::lock_guard<std::mutex> hold(session.checked.lock);
    forget_mode(session.checked);
}

void record_checked_version(Session& session, const std::string& version) {
    std::lock_guard<std::mutex> hold(session.checked.lock);
    session.checked.version = version;
}

std::string take_checked_version(Session& session) {
    std::lock_guard<std::mutex> hold(session.checked.lock);
    return std::exchange(session.checked.version, std::string());
}

int take_checked_mode(Session& session, int port) {
    CheckedRecord& record = session.checked;
    std::lock_guard<std::mutex> hold(record.lock);
    const int taken_port = record.port;
    const int taken_mode = record.mode;
    const Clock::TimePoint taken_at = record.at;
    forget_mode(record);
    if (taken_port != port || taken_mode == MODE_NONE) return MODE_NONE;
    Clock& clock = session.clock();
    if (clock.now() - taken_at > clock.length_of(kFreshCheckMs)) return MODE_NONE;
    return taken_mode;
}

int recorded_checked_mode(Session& session) {
    std::lock_guard<std::mutex> hold(session.checked.lock);
    return session.checked.mode;
}
