#include "bench/syscall_count.h"

#include <poll.h>

#include <fstream>
#include <string>

namespace {

thread_local std::uint64_t polls_made = 0;

}  // namespace

// Every poll() of the benchmark's own code and of the product's code linked into it comes here
// (-Wl,--wrap=poll).
extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    ++polls_made;
    return __real_poll(fds, count, timeout);
}

namespace bench {

SyscallCount thread_syscalls() {
    SyscallCount c;
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "syscr:") c.reads = value;
        if (key == "syscw:") c.writes = value;
    }
    c.polls = polls_made;
    return c;
}

}  // namespace bench
