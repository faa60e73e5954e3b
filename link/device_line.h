// What every exchange with one device goes through: its serial port, the clock its waits and
// time-outs run on, the stop that ends its run early, the sink its log lines and reasons go to,
// and what its exchanges remember between requests. Each device has a line of its own, so two
// devices can be worked on at once; every protocol operation takes the line of the device it talks
// to.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "base/log_sink.h"
#include "link/serial_port.h"

// What the exchanges of one line remember between requests.
struct ExchangeRecords {
    // Set by an exchange whose read got nothing at all: the device did not answer.
    bool unanswered = false;
    // When the request of the first exchange that went unanswered since the device last answered
    // went out; nothing while the device answers.
    std::optional<Clock::TimePoint> silent_since;
    // The attempts still to come after the current loop's within one step the user waits on as a
    // whole (see AttemptsAfter).
    int attempts_after = 0;
    // The frame of the request being sent: it only grows, so that an exchange allocates nothing
    // once the longest request has been framed.
    std::vector<std::uint8_t> frame;
};

// A file-system handle an answer named that no open has handed to its caller (see
// close_stray_handles).
struct StrayHandle {
    std::uint16_t code;  // the open or opendir request that named it
    std::uint32_t handle;
};

class DeviceLine {
  public:
    // The port starts closed; a test hands in a port of its own. The sink outlives the line.
    explicit DeviceLine(Clock& clock = real_clock(), LogSink& log = program_log())
        : port(std::make_unique<CSerialPort>(clock)), clock_(&clock), log_(&log) {}
    DeviceLine(Clock& clock, std::unique_ptr<CSerialPort> port, LogSink& log = program_log())
        : port(std::move(port)), clock_(&clock), log_(&log) {}
    DeviceLine(const DeviceLine&) = delete;
    DeviceLine& operator=(const DeviceLine&) = delete;

    // The clock the line's pauses and silences are measured on.
    Clock& clock() const { return *clock_; }
    // Where everything done on the line is logged and told.
    LogSink& log() const { return *log_; }

    std::unique_ptr<CSerialPort> port;
    // The port number the mode probe last opened the port on (-1 before): where a job that lost
    // the device reopens it.
    int port_number = -1;
    CancelToken cancel;
    ExchangeRecords records;
    std::vector<StrayHandle> stray_handles;
    // The last build version the device gave on this line, NUL-ended; shown in the dialog's
    // information line.
    char version_text[128] = {};

  private:
    Clock* clock_;
    LogSink* log_;
};

// Waits for the product duration ms on the line's clock, or until its stop is requested.
inline void pause_ms(DeviceLine& line, int ms) {
    pause_ms(line.clock(), line.cancel, ms);
}

// True once the line's stop has been asked for.
inline bool stop_requested(const DeviceLine& line) {
    return line.cancel.requested();
}

// Closes the line's port; nothing happens when it is closed already.
inline void close_port(DeviceLine& line) {
    line.port->Close();
}
