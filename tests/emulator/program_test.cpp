// The modem-emulator program: its help, its change lines, its end after the final reset and its
// dumps.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "tests/emulator/device.h"

namespace {

namespace fs = std::filesystem;

// The program as a child process whose standard output is read line by line with deadlines.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(EMULATOR_PROGRAM)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(EMULATOR_PROGRAM, argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    // The next line, or "" when none comes within timeout or the output ends.
    std::string line(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[512];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Everything up to the end of the output, read within timeout.
    std::string all(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[512];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) break;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        return std::move(buffer_);
    }
    // The exit status, waiting at most timeout; -1 when it does not end.
    int wait(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

TEST(EmulatorProgram, HelpDocumentsEveryOption) {
    Program p({"--help"});
    const std::string help = p.all();
    EXPECT_EQ(p.wait(), 0);
    for (const char* option : {"--mode",
                               "--efs-root",
                               "--efs-capacity",
                               "--build-version",
                               "--new-build-version",
                               "--answer-flag",
                               "--return-delay",
                               "--single-pty",
                               "--no-return",
                               "--cooked-line",
                               "--partition",
                               "--partition-status",
                               "--write-protect",
                               "--flash-id-length",
                               "--sectors",
                               "--feature-bits",
                               "--transcript",
                               "--fault",
                               "--seed",
                               "--exit-when-done",
                               "--dump-efs",
                               "--dump-flash",
                               "--help",
                               "drop",
                               "lose",
                               "delay",
                               "split",
                               "badcrc",
                               "nak",
                               "diagerr",
                               "logbefore",
                               "loginstead",
                               "hangup",
                               "efs",
                               "nth=",
                               "times=",
                               "every",
                               "p=",
                               "ms=",
                               "code="})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(EmulatorProgram, RefusesUnknownOptionsAndBadFaults) {
    Program unknown({"--colour"});
    EXPECT_EQ(unknown.wait(), 2);
    Program fault({"--fault", "nak:diag:0"});
    EXPECT_EQ(fault.wait(), 2);
}

TEST(EmulatorProgram, EndsAfterTheFinalResetAndDumps) {
    const fs::path base = fs::temp_directory_path() / ("emu-prog-" + std::to_string(getpid()));
    fs::remove_all(base);
    Program p({"--mode", "stream", "--return-delay", "20", "--exit-when-done", "--dump-flash",
               (base / "flash").string(), "--dump-efs", (base / "efs").string()});
    const std::string first = p.line();
    ASSERT_EQ(first.rfind("arrived stream /dev/", 0), 0u) << first;
    PtyClient c(first.substr(first.rfind(' ') + 1));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.exchange(kHello, true).raw[0], 0x02);
    EXPECT_EQ(c.exchange({0x1B, 0x03}, true).packet, (Bytes{0x1C, 0x00}));
    EXPECT_EQ(c.exchange({0x07, 0, 0, 0, 0, 0x7E, 0x7D}, true).packet[0], 0x08);
    EXPECT_EQ(c.exchange({0x15}, true).packet, Bytes{0x16});
    EXPECT_EQ(c.exchange({0x0B}, true).packet, Bytes{0x0C});
    EXPECT_EQ(p.line().rfind("left stream /dev/", 0), 0u);
    const std::string back = p.line();
    EXPECT_EQ(back.rfind("arrived diag /dev/", 0), 0u) << back;
    EXPECT_NE(back.find(" after-reset"), std::string::npos);
    EXPECT_EQ(p.line(), "finished");
    EXPECT_EQ(p.wait(), 0);
    std::ifstream image(base / "flash/image-3.bin", std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    EXPECT_EQ(data, "\x7E\x7D");
    EXPECT_TRUE(fs::is_directory(base / "efs/home"));
    fs::remove_all(base);
}

TEST(EmulatorProgram, StopsOnSigterm) {
    Program p({});
    EXPECT_EQ(p.line().rfind("arrived diag /dev/", 0), 0u);
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

}  // namespace
