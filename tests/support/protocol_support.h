// What the protocol tests against the emulated modem share: a download log placed in a temporary
// folder, a device line on the real clock, and an emulated device on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emulator/emulator.h"
#include "link/device_line.h"
#include "tests/support/log_capture.h"
#include "tests/support/protocol_data.h"
#include "tests/support/temp_dir.h"

// Every test works on a device line and a log of its own.
class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest();
    ~ProtocolTest() override;

    // Starts an emulated device on one pseudo-terminal in mode and opens the serial port on it.
    // A programmer is greeted first, as it answers nothing else before; the log starts after it.
    emu::Emulator& device(emu::Mode mode, emu::Options options = {}, bool greet = true);

    LogCapture log;
    TempDir files;
    DeviceLine line;
    std::unique_ptr<emu::Emulator> emulator;
    int port = 0;
};
