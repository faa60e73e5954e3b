#include "tests/support/scripted_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/clock.h"
#include "link/hdlc.h"

namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint8_t kEscape = 0x7D;

std::uint16_t crc_of(const Bytes& packet) {
    return crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
}

}  // namespace

Bytes frame(const Bytes& packet, bool leading_flag) {
    return hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc_of(packet),
                       leading_flag);
}

Bytes frame_bad_crc(const Bytes& packet) {
    return hdlc_encode(packet.data(), static_cast<int>(packet.size()),
                       static_cast<std::uint16_t>(crc_of(packet) ^ 0x5555), false);
}

Reply answer(const Bytes& packet, bool leading_flag) {
    return Reply{{frame(packet, leading_flag)}};
}

Reply raw(const Bytes& bytes) {
    return Reply{{bytes}};
}

Reply silence() {
    return Reply{};
}

Reply split(const Bytes& whole, std::size_t at) {
    at = std::min(at, whole.size());
    return Reply{{Bytes(whole.begin(), whole.begin() + static_cast<long>(at)),
                  Bytes(whole.begin() + static_cast<long>(at), whole.end())}};
}

Reply raise_error(int error) {
    Reply reply;
    reply.raise = error;
    return reply;
}

Reply hang_up(Reply before) {
    before.hang_up = true;
    return before;
}

std::vector<Reply> repeated(int count, const Reply& reply) {
    return std::vector<Reply>(static_cast<std::size_t>(std::max(count, 0)), reply);
}

void ScriptedPort::script(std::vector<Reply> replies, Reply otherwise) {
    replies_.assign(replies.begin(), replies.end());
    otherwise_ = std::move(otherwise);
    device_ = nullptr;
}

void ScriptedPort::answer_with(std::function<Reply(const Bytes& request)> device) {
    device_ = std::move(device);
}

void ScriptedPort::Open(int port) {
    Close();
    if (open_error_) throw CSerialException(static_cast<std::uint32_t>(open_error_));
    if (dead_) throw CSerialException(EIO);
    open_ = true;
    opened_.push_back(port);
}

// The line's input goes with the last handle, as a terminal's does.
void ScriptedPort::Close() {
    open_ = false;
    waiting_.clear();
    pending_raise_ = 0;
    dead_ = dead_ || pending_hang_up_;
}

void ScriptedPort::check_usable() const {
    if (!open_) throw CSerialException(EBADF);
    if (dead_) throw CSerialException(EIO);
}

int ScriptedPort::Write(const void* data, int count) {
    check_usable();
    if (!data || count <= 0) return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    writes_.emplace_back(bytes, bytes + count);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == kFlag) {
            if (!frame_.empty()) take_frame();
            frame_.clear();
            escaped_ = false;
        } else if (byte == kEscape) {
            escaped_ = true;
        } else {
            frame_.push_back(escaped_ ? byte ^ 0x20 : byte);
            escaped_ = false;
        }
    }
    return count;
}

void ScriptedPort::take_frame() {
    if (frame_.size() < 3 || !crc16_check(frame_.data(), static_cast<int>(frame_.size()))) {
        ++bad_frames_;
    }
    const Bytes request(frame_.begin(), frame_.end() - std::min<long>(2, frame_.size()));
    requests_.push_back(request);
    Reply reply = next_reply(request);
    for (Bytes& piece : reply.pieces) {
        if (!piece.empty()) waiting_.push_back(std::move(piece));
    }
    pending_raise_ = reply.raise;
    pending_hang_up_ = pending_hang_up_ || reply.hang_up;
    if (waiting_.empty() && pending_hang_up_) dead_ = true;
}

Reply ScriptedPort::next_reply(const Bytes& request) {
    if (device_) return device_(request);
    if (replies_.empty()) return otherwise_;
    Reply reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
}

int ScriptedPort::Read(void* buffer, int capacity) {
    check_usable();
    if (!buffer || capacity <= 0) return 0;
    if (!waiting_.empty()) {
        Bytes& piece = waiting_.front();
        const int n = std::min(capacity, static_cast<int>(piece.size()));
        std::memcpy(buffer, piece.data(), static_cast<std::size_t>(n));
        piece.erase(piece.begin(), piece.begin() + n);
        if (piece.empty()) waiting_.pop_front();
        if (waiting_.empty() && pending_hang_up_) dead_ = true;
        return n;
    }
    if (const int error = std::exchange(pending_raise_, 0)) {
        throw CSerialException(static_cast<std::uint32_t>(error));
    }
    clock().sleep_for(clock().length_of(kReadTimeoutMs), nullptr);
    return 0;
}

void ScriptedPort::Flush() {
    check_usable();
    ++flushes_;
}
