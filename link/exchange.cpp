// One request framed and written, one read of the answer. The exchange only moves bytes: the
// caller decodes the answer and judges it. A stop request makes every exchange fail as on a
// closed port, so a worker whose dialog is closing runs to its end without touching the port.
#include "link/exchange.h"

#include <vector>

#include "app/base/clock.h"
#include "app/base/log.h"
#include "link/attempts.h"
#include "link/hdlc.h"
#include "link/serial_port.h"

namespace {

bool port_usable() {
    return !stop_requested() && serial_port && serial_port->IsOpen();
}

thread_local int read_count = 0;

void write_and_read(const std::vector<std::uint8_t>& frame, std::uint8_t* response, int capacity) {
    read_count = 0;
    const Clock::TimePoint sent = current_clock().now();
    serial_port->Write(frame.data(), static_cast<int>(frame.size()));
    read_count = serial_port->Read(response, capacity);
    if (read_count > 0) {
        silent_since.reset();
    } else {
        exchange_unanswered = true;
        if (!silent_since) silent_since = sent;
    }
}

}  // namespace

int apply_dl_cmd(const std::uint8_t* request, int length, std::uint8_t* response, int capacity,
                 std::uint16_t crc) {
    if (!port_usable()) return 0;
    try {
        write_and_read(hdlc_encode(request, length, crc, true), response, capacity);
    } catch (const CSerialException&) {
        log_write("apply dl cmd: Serial port wr/rd error\n");
        return 0;
    }
    return 1;
}

int apply_diag_cmd(const std::uint8_t* request, int length, std::uint8_t* response, int capacity,
                   std::uint16_t crc) {
    if (!port_usable()) return 0;
    enum { kDone = 0, kRaised, kStopped };
    // The flush before each attempt is inside the attempt: a port that fails to flush fails the
    // attempt like one that fails to write.
    int failure = run_attempts([&] {
        if (!port_usable()) return static_cast<int>(kStopped);
        try {
            serial_port->Flush();
            write_and_read(hdlc_encode(request, length, crc, false), response, capacity);
        } catch (const CSerialException&) {
            return static_cast<int>(kRaised);
        }
        return static_cast<int>(kDone);
    });
    if (failure == kRaised) log_write("apply diag cmd: Serial port wr/rd error\n");
    return failure == kDone ? 1 : 0;
}

int last_read_count() {
    return read_count;
}

int receive_late_bytes(std::uint8_t* response, int capacity) {
    if (!port_usable() || !response || capacity <= 0) return 0;
    try {
        return serial_port->Read(response, capacity);
    } catch (const CSerialException&) {
        return 0;
    }
}

int check_ack(const std::uint8_t* decoded) {
    // The boot downloader's ACK and NAK; a NAK carries its reason as a 16-bit code.
    constexpr std::uint8_t kAck = 0x02;
    constexpr std::uint8_t kNak = 0x03;
    if (decoded && decoded[0] == kAck) return 1;
    if (decoded && decoded[0] == kNak) {
        log_write("error: nak code 0x%x", decoded[1] * 256 + decoded[2]);
        return 0;
    }
    log_write("check ack error: unknown response\n");
    return 0;
}
