#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "emulator/pty_provider.h"

namespace emu {

PtyProvider::~PtyProvider() {
    std::lock_guard lock(mutex_);
    for (const auto& [master, slave] : slaves_) {
        close(slave);
        close(master);
    }
    for (int slave : retired_)
        close(slave);
}

Endpoint PtyProvider::attach(Mode, bool) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return {};
    if (!cooked_) {
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::lock_guard lock(mutex_);
    slaves_[master] = slave;
    for (int old : retired_)
        close(old);
    retired_.clear();
    return Endpoint{master, name};
}

void PtyProvider::detach(const Endpoint& endpoint) {
    std::lock_guard lock(mutex_);
    auto it = slaves_.find(endpoint.master_fd);
    if (it == slaves_.end()) return;
    // The client sees the hang-up at once; our slave fd keeps the node's number taken.
    close(it->first);
    retired_.push_back(it->second);
    slaves_.erase(it);
}

int PtyProvider::unread(const Endpoint& endpoint) const {
    std::lock_guard lock(mutex_);
    auto it = slaves_.find(endpoint.master_fd);
    int count = 0;
    if (it == slaves_.end() || ioctl(it->second, FIONREAD, &count) != 0) return -1;
    return count;
}

}  // namespace emu
