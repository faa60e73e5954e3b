// One request sent, one response read back, over a device line's serial port.
#pragma once

#include <cstdint>

#include "link/device_line.h"

// Both exchanges tell, through received when it is given, how many bytes at the start of response
// the reads may have written: the most a read returned, or capacity after a port error (what the
// failed call left there is unknown). A caller that keeps response cleared between exchanges
// then clears only those bytes.

// DIAG: frame without a leading flag; flushes first and between attempts; up to ten attempts
// while the port raises. 1 when a frame was written and a read completed, else 0.
int apply_diag_cmd(DeviceLine& line, const std::uint8_t* request, int length,
                   std::uint8_t* response, int capacity, std::uint16_t crc,
                   int* received = nullptr);

// DLOAD and streaming: frame with a leading flag; one attempt, no flush.
int apply_dl_cmd(DeviceLine& line, const std::uint8_t* request, int length, std::uint8_t* response,
                 int capacity, std::uint16_t crc, int* received = nullptr);

// Reads once more without sending: what is waiting, else the first bytes that arrive within the
// read time-out. The count read; 0 on silence, on a closed or stopped port and on a port error.
int receive_late_bytes(DeviceLine& line, std::uint8_t* response, int capacity);

// 1 for a decoded DLOAD ACK (0x02); logs a NAK's code or an unknown answer to log and returns 0.
int check_ack(const std::uint8_t* decoded, LogSink& log);
