#include "tests/support/protocol_support.h"

#include <chrono>
#include <stdexcept>

#include "link/port_table.h"
#include "link/serial_port.h"
#include "stream/stream_commands.h"

ProtocolTest::ProtocolTest() = default;

ProtocolTest::~ProtocolTest() {
    line.port->Close();
    if (emulator) emulator->stop();
}

emu::Emulator& ProtocolTest::device(emu::Mode mode, emu::Options options, bool greet) {
    options.start_mode = mode;
    options.single_pty = true;
    emulator = std::make_unique<emu::Emulator>(options);
    if (!emulator->start()) throw std::runtime_error("emulator: " + emulator->error());
    if (!emulator->wait_for(mode, std::chrono::seconds(10))) {
        throw std::runtime_error("emulator did not appear");
    }
    port = port_table_register(emulator->device_node());
    line.port->Open(port);
    if (mode == emu::Mode::Stream && greet) {
        if (!send_dl_hello(line)) throw std::runtime_error("programmer did not answer hello");
        log.restart();
    }
    return *emulator;
}
