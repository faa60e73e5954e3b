// A preload library that goes before umockdev's: reads and writes on a mocked serial port go
// straight to its pseudo-terminal.
//
// umockdev's preload hands every read(), write() and ioctl() on a node that has an ioctl handler
// to the testbed over a socket: the request, a copy of the caller's whole buffer (20000 bytes for
// each read of the product's receive buffer), and the answer "carry it out yourself", which
// the caller then does. The testbed's handler answers only ioctl requests (exclusive use, modem
// lines); reads and writes always come back to be carried out on the pseudo-terminal as they
// are. Carrying them out at once does the same thing, without three messages, two thread
// switches and the copy per call. ioctl() still goes to the testbed, and glibc's tc* functions
// (tcdrain, tcsetattr ...) never went through the socket: they make the system call themselves.
//
// A mocked serial port is told by how it was opened: a path under /dev, not a /dev/pts node
// itself, that gives the slave side of a pseudo-terminal. Such descriptors are marked when opened
// and unmarked when closed or replaced; everything else goes on to umockdev's functions
// untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

// The majors of the slave sides of pseudo-terminals.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

constexpr int kTrackedDescriptors = 4096;
std::atomic<std::uint64_t> marked[kTrackedDescriptors / 64];

bool is_marked(int fd) {
    if (fd < 0 || fd >= kTrackedDescriptors) return false;
    return (marked[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) & 1u;
}

void set_mark(int fd, bool on) {
    if (fd < 0 || fd >= kTrackedDescriptors) return;
    const std::uint64_t bit = std::uint64_t{1} << (fd % 64);
    if (on) {
        marked[fd / 64].fetch_or(bit, std::memory_order_relaxed);
    } else {
        marked[fd / 64].fetch_and(~bit, std::memory_order_relaxed);
    }
}

bool names_mocked_port(const char* path, int fd) {
    if (fd < 0 || !path || std::strncmp(path, "/dev/", 5) != 0 ||
        std::strncmp(path, "/dev/pts/", 9) == 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned major_number = major(st.st_rdev);
    return major_number >= kFirstPtySlaveMajor && major_number <= kLastPtySlaveMajor;
}

// Every newly opened descriptor is judged, so a number reused for anything else loses its mark.
int judged(const char* path, int fd) {
    if (fd >= 0) set_mark(fd, names_mocked_port(path, fd));
    return fd;
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// The mode argument is only there with O_CREAT or O_TMPFILE.
mode_t mode_of(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return judged(path, real(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    static const auto real = next<int (*)(const char*, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return judged(path, real(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return judged(path, real(dir, path, flags, mode));
}

int openat64(int dir, const char* path, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return judged(path, real(dir, path, flags, mode));
}

// The fortified forms a program built with _FORTIFY_SOURCE calls.
int __open_2(const char* path, int flags) {
    static const auto real = next<int (*)(const char*, int)>("__open_2");
    return judged(path, real(path, flags));
}

int __open64_2(const char* path, int flags) {
    static const auto real = next<int (*)(const char*, int)>("__open64_2");
    return judged(path, real(path, flags));
}

int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    set_mark(fd, false);
    return real(fd);
}

int dup2(int from, int to) {
    static const auto real = next<int (*)(int, int)>("dup2");
    const int fd = real(from, to);
    if (fd >= 0) set_mark(fd, is_marked(from));
    return fd;
}

int dup3(int from, int to, int flags) {
    static const auto real = next<int (*)(int, int, int)>("dup3");
    const int fd = real(from, to, flags);
    if (fd >= 0) set_mark(fd, is_marked(from));
    return fd;
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (is_marked(fd)) return ::syscall(SYS_read, fd, buffer, count);
    static const auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    if (is_marked(fd)) return ::syscall(SYS_write, fd, buffer, count);
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, buffer, count);
}

}  // extern "C"
