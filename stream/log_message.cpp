#include "stream/log_message.h"

#include "link/serial_port.h"

bool read_after_log_message(DeviceLine& line, std::uint8_t* received, int capacity) {
    if (!line.port) return false;
    try {
        line.port->Read(received, capacity);
    } catch (const CSerialException&) {
        return false;
    }
    return true;
}
