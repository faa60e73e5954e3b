#include "stream/log_message.h"

#include "link/serial_port.h"

bool read_after_log_message(std::uint8_t* received, int capacity) {
    if (!serial_port) return false;
    try {
        serial_port->Read(received, capacity);
    } catch (const CSerialException&) {
        return false;
    }
    return true;
}
