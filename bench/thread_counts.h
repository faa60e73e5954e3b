// What one thread does that costs beyond its own instructions, counted in the process: its system
// calls to read, write and wait (reads and writes as the kernel accounts them for the thread in
// /proc/thread-self/io, waits with poll() through a counting wrapper the link puts in its place),
// and its allocations through operator new, which this benchmark replaces.
#pragma once

#include <cstdint>

namespace bench {

struct ThreadCounts {
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t polls = 0;
    std::uint64_t allocations = 0;
    ThreadCounts operator-(const ThreadCounts& o) const {
        return {reads - o.reads, writes - o.writes, polls - o.polls, allocations - o.allocations};
    }
    std::uint64_t syscalls() const { return reads + writes + polls; }
};

// The calling thread's counts so far.
ThreadCounts thread_counts();

}  // namespace bench
