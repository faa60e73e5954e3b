#include "bench/line_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "link/hdlc.h"

namespace bench {

namespace {

constexpr std::uint8_t kStreamClose = 0x15;
constexpr std::uint8_t kStreamCloseAnswer = 0x16;

void set_non_blocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Waits without limit for events on fd; false when the peer is asked to stop first.
bool wait_for(int fd, short events, const std::atomic<bool>* stopping) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, stopping ? 50 : -1);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if (stopping && *stopping) return false;
    }
}

void write_whole(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("write failed");
        } else {
            wait_for(fd, POLLOUT, nullptr);
        }
    }
}

// Where the frame that data continues ends: the position after its closing flag, or 0 when the
// frame goes on past the end. A frame starts at its first byte that is not a flag; *in_frame tells
// whether one has started, *first is that byte. The scan for the flag is memchr's: the bare ends
// spend as little on a frame as anything can.
std::size_t frame_end(const std::uint8_t* data, std::size_t count, bool* in_frame,
                      std::uint8_t* first) {
    std::size_t i = 0;
    while (!*in_frame && i < count) {
        if (data[i] != kFrameFlag) {
            *in_frame = true;
            *first = data[i];
        } else {
            ++i;
        }
    }
    const void* flag = *in_frame ? std::memchr(data + i, kFrameFlag, count - i) : nullptr;
    if (!flag) return 0;
    *in_frame = false;
    return static_cast<std::size_t>(static_cast<const std::uint8_t*>(flag) - data) + 1;
}

}  // namespace

Bytes frame_of(const Bytes& packet, bool leading_flag) {
    const int length = static_cast<int>(packet.size());
    return hdlc_encode(packet.data(), length, crc16_bits(packet.data(), length * 8), leading_flag);
}

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    set_non_blocking(master);
    set_non_blocking(slave);
    // A streaming process started beside the pair opens the line by its name.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    slave_name = name;
}

PtyPair::~PtyPair() {
    ::close(slave);
    ::close(master);
}

BarePeer::BarePeer(int fd, Bytes answer_frame)
    : fd_(fd),
      answer_(std::move(answer_frame)),
      close_answer_(frame_of({kStreamCloseAnswer}, false)),
      thread_([this] { serve(); }) {}

BarePeer::~BarePeer() {
    stopping_ = true;
    thread_.join();
}

void BarePeer::serve() {
    std::uint8_t buffer[4096];
    bool in_frame = false;
    std::uint8_t first = 0;
    while (wait_for(fd_, POLLIN, &stopping_)) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        for (std::size_t at = 0, end; n > 0 && at < static_cast<std::size_t>(n); at += end) {
            end = frame_end(buffer + at, static_cast<std::size_t>(n) - at, &in_frame, &first);
            if (end == 0) break;
            const Bytes& answer = first == kStreamClose ? close_answer_ : answer_;
            write_whole(fd_, answer.data(), answer.size());
        }
    }
}

void BareClient::exchange(const Bytes& frame) {
    write_whole(fd_, frame.data(), frame.size());
    read_answer();
}

void BareClient::read_answer() {
    bool in_frame = false;
    std::uint8_t first = 0;
    for (;;) {
        wait_for(fd_, POLLIN, nullptr);
        const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("read failed");
        if (n > 0 && frame_end(buffer_, static_cast<std::size_t>(n), &in_frame, &first) > 0) return;
    }
}

}  // namespace bench
