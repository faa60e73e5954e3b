// The parts of the serial port that every platform shares; serial_port_<platform>.cpp holds the
// device calls and the system's error texts.
#include "link/serial_port.h"

CSerialException::CSerialException(std::uint32_t error) : m_dwError(error) {
    char text[256];
    GetErrorMessage(text, sizeof(text));
    what_ = "serial port error " + std::to_string(error);
    if (text[0]) what_ += std::string(": ") + text;
}

const char* CSerialException::what() const noexcept {
    return what_.c_str();
}

CSerialPort::CSerialPort(Clock& clock) : clock_(clock), handle_(-1) {}

CSerialPort::~CSerialPort() {
    CSerialPort::Close();  // the termios handle; an implementation of its own closes its own
}

bool CSerialPort::IsOpen() const {
    return handle_ != -1;
}
