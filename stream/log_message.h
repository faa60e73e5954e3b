// Answer 0x0E: a log message from the flash programmer, sent in place of the expected answer.
// The operations that meet it make one further read to take what follows it off the line.
#pragma once

#include "link/device_line.h"

#include <cstdint>

constexpr std::uint8_t kLogMessage = 0x0E;

// One read of up to capacity bytes straight from the serial port; the content is not used. A
// port error is caught here: false.
bool read_after_log_message(DeviceLine& line, std::uint8_t* received, int capacity);
