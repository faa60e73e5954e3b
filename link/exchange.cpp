// One request framed and written, one read of the answer. The exchange only moves bytes: the
// caller decodes the answer and judges it. A stop request makes every exchange fail as on a
// closed port, so a worker whose dialog is closing runs to its end without touching the port.
#include "link/exchange.h"

#include <vector>

#include "base/clock.h"
#include "base/log_sink.h"
#include "link/attempts.h"
#include "link/hdlc.h"
#include "link/serial_port.h"

namespace {

bool port_usable(const DeviceLine& line) {
    return !stop_requested(line) && line.port && line.port->IsOpen();
}

// Frames and writes the request, then reads once; returns the count the read gave. A read that
// gets nothing marks the exchange unanswered and, if the device was answering until now, the
// time its silence began.
int write_and_read(DeviceLine& line, const std::uint8_t* request, int length, std::uint16_t crc,
                   bool leading_flag, std::uint8_t* response, int capacity) {
    std::vector<std::uint8_t>& frame = line.records.frame;
    // The buffer only grows: a shorter frame leaves the bytes after it unused.
    if (frame.size() < hdlc_frame_limit(length)) frame.resize(hdlc_frame_limit(length));
    const std::size_t size = hdlc_encode_to(request, length, crc, leading_flag, frame.data());
    const Clock::TimePoint sent = line.clock().now();
    line.port->Write(frame.data(), static_cast<int>(size));
    const int count = line.port->Read(response, capacity);
    if (count > 0) {
        line.records.silent_since.reset();
    } else {
        line.records.unanswered = true;
        if (!line.records.silent_since) line.records.silent_since = sent;
    }
    return count;
}

void note_received(int* received, int count) {
    if (received && count > *received) *received = count;
}

}  // namespace

int apply_dl_cmd(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* response,
                 int capacity, std::uint16_t crc, int* received) {
    if (received) *received = 0;
    if (!port_usable(line)) return 0;
    try {
        note_received(received,
                      write_and_read(line, request, length, crc, true, response, capacity));
    } catch (const CSerialException&) {
        note_received(received, capacity);
        line.log().write("apply dl cmd: Serial port wr/rd error\n");
        return 0;
    }
    return 1;
}

int apply_diag_cmd(DeviceLine& line, const std::uint8_t* request, int length,
                   std::uint8_t* response, int capacity, std::uint16_t crc, int* received) {
    if (received) *received = 0;
    if (!port_usable(line)) return 0;
    enum { kDone = 0, kRaised, kStopped };
    // The flush before each attempt is inside the attempt: a port that fails to flush fails the
    // attempt like one that fails to write.
    int failure = run_attempts(line, [&] {
        if (!port_usable(line)) return static_cast<int>(kStopped);
        try {
            line.port->Flush();
            note_received(received,
                          write_and_read(line, request, length, crc, false, response, capacity));
        } catch (const CSerialException&) {
            note_received(received, capacity);
            return static_cast<int>(kRaised);
        }
        return static_cast<int>(kDone);
    });
    if (failure == kRaised) line.log().write("apply diag cmd: Serial port wr/rd error\n");
    return failure == kDone ? 1 : 0;
}

int receive_late_bytes(DeviceLine& line, std::uint8_t* response, int capacity) {
    if (!port_usable(line) || !response || capacity <= 0) return 0;
    try {
        return line.port->Read(response, capacity);
    } catch (const CSerialException&) {
        return 0;
    }
}

int check_ack(const std::uint8_t* decoded, LogSink& log) {
    // The boot downloader's ACK and NAK; a NAK carries its reason as a 16-bit code.
    constexpr std::uint8_t kAck = 0x02;
    constexpr std::uint8_t kNak = 0x03;
    if (decoded && decoded[0] == kAck) return 1;
    if (decoded && decoded[0] == kNak) {
        log.write("error: nak code 0x%x", decoded[1] * 256 + decoded[2]);
        return 0;
    }
    log.write("check ack error: unknown response\n");
    return 0;
}
