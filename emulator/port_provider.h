// Where the emulated device shows up. The device appears in a mode, talks over the master side of a
// pseudo-terminal, and leaves again when it changes mode; a real device comes back on a new port.
#pragma once

#include <string>

namespace emu {

enum class Mode { Diag, Dload, Stream };

struct Endpoint {
    int master_fd = -1;       // the emulator reads requests from and writes answers to this
    std::string device_node;  // what a client opens (/dev/pts/N, or a mocked /dev/ttyUSBn)
};

class PortProvider {
  public:
    virtual ~PortProvider() = default;
    // The device appears in mode. after_reset is true when it comes back after the final reset of a
    // firmware download (a provider may then also present the device's disk). The provider owns
    // master_fd and closes it in detach.
    virtual Endpoint attach(Mode mode, bool after_reset) = 0;
    // The device leaves; the endpoint is not used again.
    virtual void detach(const Endpoint& endpoint) = 0;
    // The line goes dead before the device leaves, as when it is pulled out: the client's reads
    // end at once. A provider whose detach already ends the line needs nothing here.
    virtual void hang_up(const Endpoint&) {}
};

}  // namespace emu
