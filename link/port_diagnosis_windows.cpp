#include <windows.h>

#include "link/port_diagnosis.h"
#include "link/serial_port.h"

std::string explain_port_failure(int port, std::uint32_t error) {
    char text[256];
    CSerialException(error).GetErrorMessage(text, sizeof text);
    std::string out = "COM" + std::to_string(port) + ": " + text;
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port admits one program at a time.
            return out +
                   "; another program holds the port: close it (terminal programs, the "
                   "modem's own manager) and try again";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return out + "; the device has gone (unplugged, or coming back in another mode)";
        default:
            return out;
    }
}
