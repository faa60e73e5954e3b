#include "bench/thread_counts.h"

#include <poll.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

namespace {

thread_local std::uint64_t polls_made = 0;
thread_local std::uint64_t allocations_made = 0;

void* allocate(std::size_t size) {
    ++allocations_made;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

// Every poll() of the benchmark's own code and of the product's code linked into it comes here
// (-Wl,--wrap=poll).
extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    ++polls_made;
    return __real_poll(fds, count, timeout);
}

// The plain forms: the array forms and the library's own containers come through these.
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace bench {

ThreadCounts thread_counts() {
    ThreadCounts c;
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "syscr:") c.reads = value;
        if (key == "syscw:") c.writes = value;
    }
    c.polls = polls_made;
    c.allocations = allocations_made;
    return c;
}

}  // namespace bench
