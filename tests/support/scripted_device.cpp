#include "tests/support/scripted_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "link/hdlc.h"
#include "link/port_table.h"

namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint8_t kEscape = 0x7D;

void write_all(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

}  // namespace

// The framing helpers live with the scripted port.
Bytes frame(const Bytes& packet, bool leading_flag);

Bytes frame_answer(const Bytes& packet, bool leading_flag) {
    return frame(packet, leading_flag);
}

ScriptedDevice::ScriptedDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no slave name");
    node_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    port_ = port_table_register(node_);
    thread_ = std::thread([this] { run(); });
}

ScriptedDevice::~ScriptedDevice() {
    const char stop = 's';
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
    if (master_ >= 0) ::close(master_);
    ::close(slave_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void ScriptedDevice::script(std::vector<Reply> replies, Reply otherwise) {
    std::lock_guard lock(mutex_);
    replies_.assign(replies.begin(), replies.end());
    otherwise_ = std::move(otherwise);
}

std::vector<Bytes> ScriptedDevice::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedDevice::run() {
    Bytes frame;
    bool escaped = false;
    std::uint8_t buffer[4096];
    while (master_ >= 0) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n && master_ >= 0; ++i) {
            const std::uint8_t byte = buffer[i];
            if (byte == kFlag) {
                if (!frame.empty()) handle_frame(frame);
                frame.clear();
                escaped = false;
            } else if (byte == kEscape) {
                escaped = true;
            } else {
                frame.push_back(escaped ? byte ^ 0x20 : byte);
                escaped = false;
            }
        }
    }
}

void ScriptedDevice::handle_frame(const Bytes& frame) {
    Reply reply;
    {
        std::lock_guard lock(mutex_);
        if (frame.size() > 2) requests_.emplace_back(frame.begin(), frame.end() - 2);
        if (replies_.empty()) {
            reply = otherwise_;
        } else {
            reply = replies_.front();
            replies_.pop_front();
        }
    }
    write_all(master_, reply.bytes);
    if (reply.hang_up && wait_drained()) {
        ::close(master_);
        master_ = -1;
    }
}

// Waits until the client has taken every byte sent. The bytes reach the terminal side a moment
// after the write, and the client takes them at once, so the queue is watched without pause for
// the moment it fills and empties again; a queue that stays empty for 20 ms counts as taken too.
bool ScriptedDevice::wait_drained() {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(5);
    bool seen = false;
    while (std::chrono::steady_clock::now() < deadline) {
        int waiting = 0;
        if (::ioctl(slave_, FIONREAD, &waiting) != 0) return false;
        if (waiting > 0) {
            seen = true;
        } else if (seen ||
                   std::chrono::steady_clock::now() - start > std::chrono::milliseconds(20)) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}
