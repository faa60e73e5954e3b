// The device's USB-serial port. Each device line owns one; opened by the mode probes only. The
// class is the termios port; a test hands its line an implementation of its own.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "base/clock.h"

// Raised by CSerialPort only, with the platform's error code (errno on Linux).
class CSerialException : public std::exception {
  public:
    explicit CSerialException(std::uint32_t error);
    std::uint32_t error() const { return m_dwError; }
    // Fills text with the system's message for the code, cut to size; false (and "") when the
    // system has none.
    bool GetErrorMessage(char* text, unsigned size, unsigned* help_context = nullptr) const;
    const char* what() const noexcept override;

    std::uint32_t m_dwError;

  private:
    std::string what_;
};

class CSerialPort {
  public:
    // The port's read and write time-outs run on clock, which outlives the port.
    explicit CSerialPort(Clock& clock = real_clock());
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Closes, then opens the device that port number names: exclusive, raw 8N1 at 115200, DTR and
    // RTS raised, no flow control. Raises CSerialException; the port stays closed when the device
    // could not be opened.
    virtual void Open(int port);
    // Never raises; nothing happens on a closed port.
    virtual void Close();
    virtual bool IsOpen() const;
    // Waits at most 50 ms + 1 ms per byte (on the clock) for the line to take the bytes; returns
    // the count written. An I/O error or a hang-up raises.
    virtual int Write(const void* data, int count);
    // Returns what is waiting at once; with nothing waiting, the first bytes that arrive; 0 after
    // 500 ms of silence on the clock. An I/O error or a hang-up raises.
    virtual int Read(void* buffer, int capacity);
    // Waits until everything written has gone out; received bytes are kept.
    virtual void Flush();

  protected:
    Clock& clock() const { return clock_; }

  private:
    Clock& clock_;
    std::intptr_t handle_;  // platform handle, -1 when closed
};
