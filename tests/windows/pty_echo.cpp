// The Linux side of the Windows serial port test: a pseudo-terminal that sends back every byte it
// gets. It prints the terminal's node on its first line, then echoes until its standard input is
// closed or its time limit has passed.
//
//   pty_echo [seconds]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    int master = -1, terminal = -1;
    if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return 1;
    // Raw from the start: a line that echoes on its own would send every byte round for ever.
    termios raw{};
    ::tcgetattr(terminal, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(terminal, TCSANOW, &raw);
    std::printf("%s\n", ::ttyname(terminal));
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        pollfd fds[2] = {{master, POLLIN, 0}, {0, POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char ignored[64];
            if (::read(0, ignored, sizeof ignored) <= 0) break;
        }
        if (fds[0].revents & POLLIN) {
            unsigned char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0 && ::write(master, buffer, static_cast<std::size_t>(n)) < 0) break;
        }
    }
    return 0;
}
