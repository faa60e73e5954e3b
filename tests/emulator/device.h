// A started emulator and a client on its current device node, plus request builders.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "link/attempts.h"
#include "tests/emulator/pty_client.h"

using namespace std::chrono_literals;

inline emu::Options quick_options(emu::Mode mode = emu::Mode::Diag) {
    emu::Options o;
    o.start_mode = mode;
    o.return_delay_ms = 30;
    return o;
}

class Device {
  public:
    explicit Device(emu::Options options) : emulator(std::move(options)) {
        emulator.on_change([this](const emu::Change& c) {
            std::lock_guard lock(mutex_);
            changes_.push_back(c);
            changed_.notify_all();
        });
        started = emulator.start();
        if (started) client = std::make_unique<PtyClient>(emulator.device_node());
    }
    // The device's thread reports changes into members below: it must end first.
    ~Device() {
        client.reset();
        emulator.stop();
    }
    // Waits for the device in mode and opens a client on its node.
    bool reconnect(emu::Mode mode) {
        client.reset();
        if (!emulator.wait_for(mode, 5s)) return false;
        client = std::make_unique<PtyClient>(emulator.device_node());
        return client->ok();
    }
    // Waits until the device has arrived count times (its first appearance included) and opens
    // a client on its node.
    bool reconnect_after(int count) {
        client.reset();
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [&] { return arrivals() >= count; })) return false;
        client = std::make_unique<PtyClient>(changes_.back().device_node);
        return client->ok();
    }
    std::vector<emu::Change> changes() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    PtyClient::Answer diag(const Bytes& packet) { return client->exchange(packet, false); }
    PtyClient::Answer dl(const Bytes& packet) { return client->exchange(packet, true); }

    emu::Emulator emulator;
    bool started = false;
    std::unique_ptr<PtyClient> client;

  private:
    int arrivals() const {
        int n = 0;
        for (const auto& c : changes_)
            n += c.kind == emu::Change::Kind::Arrived;
        return n;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<emu::Change> changes_;
};

inline Bytes le32(std::uint32_t v) {
    Bytes b(4);
    put_le32(b.data(), v);
    return b;
}
inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes text(const std::string& s, bool nul = true) {
    Bytes b(s.begin(), s.end());
    if (nul) b.push_back(0);
    return b;
}
inline Bytes efs(std::uint8_t code, const Bytes& body = {}) {
    return cat({0x4B, 0x13, code, 0x00}, body);
}
inline std::uint32_t at32(const Bytes& b, std::size_t offset) {
    return offset + 4 <= b.size() ? get_le32(&b[offset]) : 0xDEADBEEF;
}

// Requests as the tool builds them.
inline Bytes efs_create(const std::string& path) {
    return efs(2, cat(cat(le32(0x241), le32(0x1B6)), text(path)));
}
inline Bytes efs_open(const std::string& path) {
    return efs(2, cat(cat(le32(0), le32(0x124)), text(path)));
}
inline Bytes efs_close(const Bytes& handle) {
    return efs(3, handle);
}
inline Bytes efs_read(const Bytes& handle, std::uint32_t offset) {
    return efs(4, cat(cat(handle, le32(512)), le32(offset)));
}
inline Bytes efs_write(const Bytes& handle, std::uint32_t offset, const Bytes& data) {
    return efs(5, cat(cat(handle, le32(offset)), data));
}
inline Bytes efs_symlink(const std::string& target, const std::string& link) {
    return efs(6, cat(text(target), text(link)));
}
inline Bytes efs_unlink(const std::string& path) {
    return efs(8, text(path));
}
inline Bytes efs_mkdir(const std::string& path) {
    return efs(9, cat({0xFF, 0x01}, text(path)));
}
inline Bytes efs_rmdir(const std::string& path) {
    return efs(10, text(path));
}
inline Bytes efs_opendir(const std::string& path) {
    return efs(11, text(path));
}
inline Bytes efs_readdir(const Bytes& handle, std::uint8_t seq) {
    return efs(12, cat(handle, {seq, 0, 0, 0}));
}
inline Bytes efs_stat(const std::string& path) {
    return efs(15, text(path));
}
inline Bytes handle_of(const PtyClient::Answer& a) {
    return a.packet.size() >= 8 ? Bytes(a.packet.begin() + 4, a.packet.begin() + 8) : Bytes{};
}

inline const Bytes kHello =
    cat(cat({0x01}, text("QCOM fast download protocol host", false)), {0x03, 0x02, 0x09});
