// The system calls one thread makes, counted in the process: reads and writes as the kernel
// accounts them for the thread (/proc/thread-self/io), and its waits with poll() as this benchmark
// counts them (the link maps poll() onto a counting wrapper).
#pragma once

#include <cstdint>

namespace bench {

struct SyscallCount {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t polls = 0;
    SyscallCount operator-(const SyscallCount& o) const {
        return {reads - o.reads, writes - o.writes, polls - o.polls};
    }
    std::uint64_t all() const { return reads + writes + polls; }
};

// The calling thread's counts so far.
SyscallCount thread_syscalls();

}  // namespace bench
