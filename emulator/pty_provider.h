// The built-in port provider: a fresh pseudo-terminal for every arrival; the device node is its
// slave side.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "emulator/port_provider.h"

namespace emu {

class PtyProvider : public PortProvider {
  public:
    // cooked: leave the line at the kernel's defaults (echo, line editing), so a client that does
    // not set its line up fails as it would on a real port.
    explicit PtyProvider(bool cooked) : cooked_(cooked) {}
    ~PtyProvider() override;
    Endpoint attach(Mode mode, bool after_reset) override;
    void detach(const Endpoint& endpoint) override;
    // Bytes the device wrote that no client has read yet; -1 when unknown.
    int unread(const Endpoint& endpoint) const;

  private:
    bool cooked_;
    mutable std::mutex mutex_;
    std::map<int, int> slaves_;  // master fd -> our own slave fd, which keeps the line up
    // Slave fds of departed lines, held until the next line exists so that it gets a new name.
    std::vector<int> retired_;
};

}  // namespace emu
