// A bare client for the emulated modem: frames requests, reads answers off the pseudo-terminal
// with bounded waits, and hands back both the raw bytes and the decoded packet.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/hdlc.h"

using Bytes = std::vector<std::uint8_t>;

class PtyClient {
  public:
    explicit PtyClient(const std::string& node) {
        fd_ = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios tio{};
            tcgetattr(fd_, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~PtyClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;
    bool ok() const { return fd_ >= 0; }

    void send_raw(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 1000) <= 0) return;
            }
        }
    }
    static Bytes frame(const Bytes& packet, bool leading_flag) {
        const std::uint16_t crc = crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
        return hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc, leading_flag);
    }
    void send(const Bytes& packet, bool leading_flag) { send_raw(frame(packet, leading_flag)); }

    // Whatever arrives first within timeout (empty on silence); false from hung_up() after a
    // read that saw the line go.
    Bytes read_some(std::chrono::milliseconds timeout) {
        Bytes out;
        if (!pending_.empty()) {
            out.swap(pending_);
            return out;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return out;
        std::uint8_t buffer[4096];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            out.assign(buffer, buffer + n);
        } else {
            hung_up_ = true;
        }
        return out;
    }
    bool hung_up() const { return hung_up_; }

    // The raw bytes of one whole answer frame (an optional leading flag, up to and including its
    // closing flag); empty when none completes within timeout.
    Bytes read_frame(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Bytes got;
        for (;;) {
            std::size_t start = 0;
            while (start < got.size() && got[start] == 0x7E)
                ++start;
            for (std::size_t i = start; i < got.size(); ++i) {
                if (got[i] != 0x7E) continue;
                pending_.assign(got.begin() + static_cast<long>(i) + 1, got.end());
                return Bytes(got.begin() + static_cast<long>(start > 0 ? start - 1 : 0),
                             got.begin() + static_cast<long>(i) + 1);
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || hung_up_) return {};
            Bytes more = read_some(left);
            if (more.empty() && hung_up_) return {};
            got.insert(got.end(), more.begin(), more.end());
        }
    }

    struct Answer {
        Bytes raw;     // as read, flags and escapes included
        Bytes packet;  // decoded, without CRC
        bool crc_ok = false;
        bool got() const { return !raw.empty(); }
    };
    static Answer decode(const Bytes& raw) {
        Answer a;
        a.raw = raw;
        if (raw.empty()) return a;
        Bytes work(raw[0] == 0x7E ? raw.begin() + 1 : raw.begin(), raw.end());
        const int n = check_buf(work.data(), static_cast<int>(work.size()));
        a.crc_ok = n >= 3 && crc16_check(work.data(), n) == 1;
        if (n >= 2) a.packet.assign(work.begin(), work.begin() + n - 2);
        return a;
    }
    Answer read_answer(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        return decode(read_frame(timeout));
    }
    Answer exchange(const Bytes& packet, bool leading_flag,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        send(packet, leading_flag);
        return read_answer(timeout);
    }

  private:
    int fd_ = -1;
    bool hung_up_ = false;
    Bytes pending_;
};
