// One request sent, one response read back, over the program-wide serial port.
#pragma once

#include <cstdint>

// DIAG: frame without a leading flag; flushes first and between attempts; up to ten attempts
// while the port raises. 1 when a frame was written and a read completed, else 0.
int apply_diag_cmd(const std::uint8_t* request, int length, std::uint8_t* response, int capacity,
                   std::uint16_t crc);

// DLOAD and streaming: frame with a leading flag; one attempt, no flush.
int apply_dl_cmd(const std::uint8_t* request, int length, std::uint8_t* response, int capacity,
                 std::uint16_t crc);

// How many bytes the last exchange's read took on this thread: 0 when nothing answered. A read
// may take more than the answer: what a slow device sent for earlier requests, or after it.
int last_read_count();

// Reads once more without sending: what is waiting, else the first bytes that arrive within the
// read time-out. The count read; 0 on silence, on a closed or stopped port and on a port error.
int receive_late_bytes(std::uint8_t* response, int capacity);

// 1 for a decoded DLOAD ACK (0x02); logs a NAK's code or an unknown answer and returns 0.
int check_ack(const std::uint8_t* decoded);
