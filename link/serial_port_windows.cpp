// The serial port on Windows: the COM device "\\.\COM<n>", opened without sharing for synchronous
// transfers, with the line settings and time-outs of the device link. The read time-outs make a
// read return at once with what is waiting, else with the first bytes that arrive, else with
// nothing after 500 ms; the time setting of the tests scales that, as every other wait.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "link/serial_port.h"

namespace {

constexpr DWORD kReadTimeoutMs = 500;
constexpr DWORD kWriteTimeoutMs = 50;  // plus 1 ms per byte
constexpr char kFrameFlag = 0x7E;

[[noreturn]] void raise_last_error() {
    throw CSerialException(::GetLastError());
}

HANDLE handle_of(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// 115200 8N1, binary, DTR and RTS raised, no flow control of any kind, nothing replaced or
// stripped; everything else zero.
void apply_preset(DCB* dcb) {
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = CBR_115200;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->EvtChar = kFrameFlag;
}

void apply_timeouts(HANDLE port) {
    COMMTIMEOUTS timeouts{};
    ::GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(scaled_ms(kReadTimeoutMs));
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    ::SetCommTimeouts(port, &timeouts);
}

}  // namespace

bool CSerialException::GetErrorMessage(char* text, unsigned size, unsigned* help_context) const {
    if (help_context) *help_context = 0;
    if (!text || size == 0) return false;
    text[0] = '\0';
    char* message = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, m_dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&message), 0, nullptr);
    if (length == 0 || !message) return false;
    std::size_t n = std::min<std::size_t>(length, size - 1);
    // The system's texts end in CR LF.
    while (n > 0 && (message[n - 1] == '\r' || message[n - 1] == '\n'))
        --n;
    std::memcpy(text, message, n);
    text[n] = '\0';
    ::LocalFree(message);
    return true;
}

void CSerialPort::Open(int port) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    Close();
    HANDLE device =
        ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) raise_last_error();
    // From here on a failure leaves the port open, so that the next Open or Close closes it.
    handle_ = reinterpret_cast<std::intptr_t>(device);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device, &dcb)) raise_last_error();
    apply_preset(&dcb);
    apply_timeouts(device);
    if (!::SetCommState(device, &dcb)) raise_last_error();
}

void CSerialPort::Close() {
    if (handle_ == -1) return;
    HANDLE device = handle_of(handle_);
    handle_ = -1;
    ::CloseHandle(device);
}

int CSerialPort::Write(const void* data, int count) {
    if (handle_ == -1) throw CSerialException(ERROR_INVALID_HANDLE);
    if (!data || count <= 0) return 0;
    DWORD written = 0;
    if (!::WriteFile(handle_of(handle_), data, static_cast<DWORD>(count), &written, nullptr))
        raise_last_error();
    return static_cast<int>(written);
}

int CSerialPort::Read(void* buffer, int capacity) {
    if (handle_ == -1) throw CSerialException(ERROR_INVALID_HANDLE);
    if (!buffer || capacity <= 0) return 0;
    DWORD read = 0;
    if (!::ReadFile(handle_of(handle_), buffer, static_cast<DWORD>(capacity), &read, nullptr))
        raise_last_error();
    return static_cast<int>(read);
}

void CSerialPort::Flush() {
    if (handle_ == -1) throw CSerialException(ERROR_INVALID_HANDLE);
    if (!::FlushFileBuffers(handle_of(handle_))) raise_last_error();
}
