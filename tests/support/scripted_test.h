// What the protocol tests on a scripted port share: a fake clock, a device line on the scripted
// port (open) and that clock, the download log and a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "link/device_line.h"
#include "tests/support/fake_clock.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_port.h"
#include "tests/support/temp_dir.h"

// line, count times over: the log of a failure every attempt repeats.
inline std::string times(int count, const std::string& line) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += line;
    return out;
}

// The line the frame decoder logs for each read that brought no closing flag into a buffer of size
// bytes.
inline std::string unframed(int size, int reads = 1) {
    const std::string n = std::to_string(size);
    return times(reads, "check buf: size " + n + " overflow " + n + " error! \n");
}

class ScriptedTest : public ::testing::Test {
  protected:
    static constexpr int kPort = 7;

    ScriptedTest()
        : device_(new ScriptedPort(clock)), line(clock, std::unique_ptr<CSerialPort>(device_)) {
        device_->Open(kPort);
    }
    ~ScriptedTest() override {
        EXPECT_EQ(device_->bad_frames(), 0) << "every request frame carries a good CRC";
    }

    ScriptedPort& device() { return *device_; }
    int requests() const { return static_cast<int>(device_->requests().size()); }
    // How many requests carried code at byte at.
    int count_code(std::uint8_t code, std::size_t at = 0) const {
        int n = 0;
        for (const Bytes& request : device_->requests())
            n += request.size() > at && request[at] == code;
        return n;
    }
    // The command byte of each request, in order.
    Bytes codes() const {
        Bytes out;
        for (const Bytes& request : device_->requests())
            out.push_back(request.at(0));
        return out;
    }
    // What the product waited on the clock, in milliseconds.
    long long waited_ms() { return clock.waited().count(); }

    FakeClock clock;
    LogCapture log;
    TempDir files;

  private:
    ScriptedPort* device_;  // owned by the line

  protected:
    DeviceLine line;
};
