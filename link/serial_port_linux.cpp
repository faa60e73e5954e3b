// The serial port on Linux: a termios device node, named by the port table. The node is opened
// non-blocking; waits are made with poll(), their deadlines and the time left taken from the clock.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "base/clock.h"
#include "link/port_table.h"
#include "link/serial_port.h"

namespace {

constexpr int kReadTimeoutMs = 500;
constexpr int kWriteTimeoutMs = 50;  // plus 1 ms per byte

[[noreturn]] void raise(int error) {
    throw CSerialException(static_cast<std::uint32_t>(error));
}

int fd_of(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// The moment a wait of the product duration ms, starting now, ends.
Clock::TimePoint deadline_after(Clock& clock, int ms) {
    return clock.now() + clock.length_of(ms);
}

// Waits for events on fd until the deadline, across interruptions. Returns the revents, 0 when
// the deadline passed.
short wait_for(Clock& clock, int fd, short events, Clock::TimePoint deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now());
        if (left.count() <= 0) return 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (n > 0) return p.revents;
        if (n < 0 && errno != EINTR) raise(errno);
    }
}

}  // namespace

bool CSerialException::GetErrorMessage(char* text, unsigned size, unsigned* help_context) const {
    if (help_context) *help_context = 0;
    if (!text || size == 0) return false;
    const char* message = ::strerrordesc_np(static_cast<int>(m_dwError));
    if (!message || m_dwError > INT_MAX) {
        text[0] = '\0';
        return false;
    }
    std::size_t n = std::min<std::size_t>(std::strlen(message), size - 1);
    std::memcpy(text, message, n);
    text[n] = '\0';
    return true;
}

void CSerialPort::Open(int port) {
    Close();
    std::string node;
    if (!port_table_lookup(port, &node)) raise(ENOENT);

    int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) raise(errno);
    // No sharing: TIOCEXCL keeps other openers out (root excepted), the lock keeps out every other
    // process that opens the port through this class.
    if (::ioctl(fd, TIOCEXCL) != 0 ||
        (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        raise(error);
    }
    // From here on a failure leaves the port open, so that the next Open or Close closes it.
    handle_ = fd;

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) raise(errno);
    // Everything not set here is off: no parity, no flow control of any kind, no character
    // translation, no echo or line editing. Reads never block in the driver (VMIN = VTIME = 0).
    std::memset(&tio, 0, sizeof(tio));
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) raise(errno);

    // DTR and RTS up while the port is open. Pseudo-terminals have no modem lines and refuse
    // this, which is no failure of the port.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
}

void CSerialPort::Close() {
    if (handle_ == -1) return;
    int fd = fd_of(handle_);
    handle_ = -1;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

int CSerialPort::Write(const void* data, int count) {
    if (handle_ == -1) raise(EBADF);
    if (!data || count <= 0) return 0;
    const int fd = fd_of(handle_);
    const long long budget = std::min<long long>(INT_MAX, kWriteTimeoutMs + 1LL * count);
    const auto deadline = deadline_after(clock(), static_cast<int>(budget));
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    int written = 0;
    while (written < count) {
        ssize_t n = ::write(fd, bytes + written, static_cast<std::size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) raise(errno);
        // The line takes no more for now: wait for room until the deadline. Running out of time
        // is no failure; the caller gets the count written so far.
        short events = wait_for(clock(), fd, POLLOUT, deadline);
        if (events == 0) break;
        if (events & POLLNVAL) raise(EBADF);
        if ((events & (POLLERR | POLLHUP)) && !(events & POLLOUT)) raise(EIO);
    }
    return written;
}

int CSerialPort::Read(void* buffer, int capacity) {
    if (handle_ == -1) raise(EBADF);
    if (!buffer || capacity <= 0) return 0;
    const int fd = fd_of(handle_);
    const auto deadline = deadline_after(clock(), kReadTimeoutMs);
    short events = wait_for(clock(), fd, POLLIN, deadline);
    if (events == 0) return 0;
    if (events & POLLNVAL) raise(EBADF);
    if (events & POLLIN) {
        // Waiting bytes come first, even when the other end has already hung up.
        ssize_t n;
        do {
            n = ::read(fd, buffer, static_cast<std::size_t>(capacity));
        } while (n < 0 && errno == EINTR);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno != EAGAIN) raise(errno);
        // Readable but nothing to read: the end of the line.
        if (n == 0) raise(EIO);
        return 0;
    }
    // A hung-up or failed line: its reads would return at once, forever.
    raise(EIO);
}

void CSerialPort::Flush() {
    if (handle_ == -1) raise(EBADF);
    if (::tcdrain(fd_of(handle_)) != 0) raise(errno);
}
