// A pseudo-terminal standing in for the device's port: the program opens the terminal side
// through the port table, the test plays the device on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/port_table.h"

using Bytes = std::vector<std::uint8_t>;

class Pty {
  public:
    Pty() {
        if (::openpty(&master_, &terminal_, nullptr, nullptr, nullptr) != 0) return;
        name_ = ::ptsname(master_);
        number_ = port_table_register(name_);
    }
    ~Pty() {
        close_master();
        if (terminal_ >= 0) ::close(terminal_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && number_ > 0; }
    int number() const { return number_; }
    // The terminal side's device node.
    const std::string& name() const { return name_; }
    int master() const { return master_; }
    // The test's own descriptor of the terminal side, to look at its line settings.
    int terminal() const { return terminal_; }

    void send(const Bytes& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads until count bytes came or ten seconds passed.
    Bytes receive(std::size_t count) const {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            std::uint8_t chunk[4096];
            ssize_t n = ::read(master_, chunk, std::min(sizeof(chunk), count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // The device goes away: the terminal side is hung up.
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    int terminal_ = -1;
    int number_ = 0;
    std::string name_;
};

// A peer thread that takes in everything written to the port, so that writes larger than the
// terminal's buffer can go out whole.
class WireTap {
  public:
    explicit WireTap(int master) : master_(master), thread_([this] { run(); }) {}
    ~WireTap() {
        stop_ = true;
        thread_.join();
    }
    WireTap(const WireTap&) = delete;
    WireTap& operator=(const WireTap&) = delete;

    // What arrived once count bytes are there, or after ten seconds.
    Bytes wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return got_.size() >= count; });
        return got_;
    }

  private:
    void run() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            std::uint8_t chunk[4096];
            ssize_t n = ::read(master_, chunk, sizeof(chunk));
            if (n <= 0) return;
            std::lock_guard lock(mutex_);
            got_.insert(got_.end(), chunk, chunk + n);
            arrived_.notify_all();
        }
    }

    int master_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes got_;
    std::thread thread_;
};
