#include "tests/app/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/seal_run.h"

extern char** environ;

namespace apptest {

namespace fs = std::filesystem;

namespace {

std::string make_temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "fwup-app-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    return buffer.data();
}

// The child's environment: the test's own (the mocked device database comes with it) with the
// given variables replaced, or removed when an override has no '='.
std::vector<std::string> child_environment(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& o : overrides) {
            std::string key = o.substr(0, o.find('=')) + "=";
            if (entry.compare(0, key.size(), key) == 0) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    for (const std::string& o : overrides)
        if (o.find('=') != std::string::npos) env.push_back(o);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

struct Child {
    pid_t pid = -1;
    int pidfd = -1;
};

// posix_spawn, not fork: the test process has threads (the emulator, the mocked database), and a
// forked child that calls a function the umockdev preload wraps (open, say) can hang on a lock
// another thread held at the fork. The spawn's file actions run without those wrappers.
Child spawn(const std::string& program, std::vector<std::string> args, std::vector<std::string> env,
            const std::string& dir, int out_fd, int err_fd) {
    args.insert(args.begin(), program);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    // The program starts with the signal state a shell gives it, whatever this process (or what
    // runs the tests) ignores or blocks: ignored signals would stay ignored in the child.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    Child child;
    int failed =
        posix_spawn(&child.pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + program);
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    if (child.pidfd < 0) throw std::runtime_error("pidfd_open failed");
    return child;
}

// Waits for the child until the deadline, reading the pseudo-terminal (if any) meanwhile so that
// the child never blocks on a full terminal.
bool wait_child(const Child& child, int master, std::string* terminal_output,
                std::chrono::steady_clock::time_point deadline, int* status,
                const std::function<bool()>& interrupt_when = nullptr,
                int interrupt_signal = SIGINT) {
    bool interrupted = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        bool watching = interrupt_when && !interrupted;
        if (watching && interrupt_when()) {
            kill(child.pid, interrupt_signal);
            interrupted = true;
            watching = false;
        }
        // While a condition is watched, it is looked at again every 10 ms.
        int wait_ms = static_cast<int>(watching ? std::min<long>(left.count(), 10) : left.count());
        pollfd fds[2] = {{child.pidfd, POLLIN, 0}, {master, POLLIN, 0}};
        int n = poll(fds, master >= 0 ? 2 : 1, wait_ms);
        if (n < 0 && errno != EINTR) break;
        if (master >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) terminal_output->append(buffer, static_cast<std::size_t>(got));
        }
        if (fds[0].revents & POLLIN) {
            if (waitpid(child.pid, status, 0) == child.pid) {
                // What the child wrote just before it ended.
                while (master >= 0) {
                    pollfd rest{master, POLLIN, 0};
                    if (poll(&rest, 1, 0) <= 0) break;
                    char buffer[4096];
                    ssize_t got = read(master, buffer, sizeof buffer);
                    if (got <= 0) break;
                    terminal_output->append(buffer, static_cast<std::size_t>(got));
                }
                return true;
            }
        }
    }
    kill(child.pid, SIGKILL);
    waitpid(child.pid, status, 0);
    return false;
}

void run_tool(const std::vector<std::string>& args, const std::string& dir) {
    int null_fd = open("/dev/null", O_WRONLY);
    Child child = spawn(SAMPLE_PACKAGE_TOOL, args, child_environment({}), dir, null_fd, null_fd);
    close(null_fd);
    int status = 0;
    bool done = wait_child(child, -1, nullptr,
                           std::chrono::steady_clock::now() + std::chrono::seconds(60), &status);
    close(child.pidfd);
    if (!done || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("the sample package tool failed");
}

}  // namespace

PackageDir::PackageDir(const std::vector<std::string>& settings) : path_(make_temp_dir()) {
    std::vector<std::string> args = {path_};
    args.insert(args.end(), settings.begin(), settings.end());
    run_tool(args, path_);
    fs::copy_file(FWUPGRADE_PROGRAM, path_ + "/fwupgrade");
}

PackageDir::~PackageDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void PackageDir::remove(const std::string& relative) const {
    fs::remove_all(file(relative));
}

void PackageDir::write(const std::string& relative, const std::string& content) const {
    std::ofstream out(file(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

void PackageDir::seal() const {
    std::FILE* quiet = std::fopen("/dev/null", "w");
    const int status = run_seal(path_ + "/", quiet, stderr);
    std::fclose(quiet);
    if (status != 0) throw std::runtime_error("cannot seal " + path_);
}

bool PackageDir::exists(const std::string& relative) const {
    return fs::exists(file(relative));
}

std::string PackageDir::read(const std::string& relative) const {
    return read_text(file(relative));
}

ProgramDir::ProgramDir() : path_(make_temp_dir()) {
    fs::copy_file(FWUPGRADE_PROGRAM, path_ + "/fwupgrade");
}

ProgramDir::~ProgramDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string ProgramDir::log() const {
    return read_text(file("download.dbg"));
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

// Where the child's standard output and error go; master is the terminal's side, or -1.
struct Outputs {
    int out = -1;
    int err = -1;
    int master = -1;
};

Outputs open_outputs(const std::string& folder, const RunOptions& options) {
    Outputs outputs;
    if (options.closed_pipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        close(fds[0]);
        outputs.out = fds[1];
        outputs.err = fcntl(fds[1], F_DUPFD_CLOEXEC, 0);
        return outputs;
    }
    const std::string out_path = folder + "/stdout.txt";
    const std::string err_path = folder + "/stderr.txt";
    outputs.out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (options.terminal) {
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 30;
        if (openpty(&outputs.master, &outputs.err, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(outputs.master, F_SETFD, FD_CLOEXEC);
    } else {
        outputs.err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    return outputs;
}

}  // namespace

RunResult run_program(const PackageDir& package, const RunOptions& options) {
    return run_program_in(package.path(), options);
}

RunResult run_program(const ProgramDir& program, const RunOptions& options) {
    return run_program_in(program.path(), options);
}

RunResult run_program_in(const std::string& folder, const RunOptions& options) {
    Outputs outputs = open_outputs(folder, options);
    std::vector<std::string> overrides = {
        "FWUP_TIME_DIVISOR=" + std::to_string(options.time_divisor),
        // download.dbg goes into the program's folder.
        "XDG_DOCUMENTS_DIR=" + folder,
    };
    overrides.insert(overrides.end(), options.environment.begin(), options.environment.end());
    Child child = spawn(folder + "/fwupgrade", options.args, child_environment(overrides), folder,
                        outputs.out, outputs.err);
    close(outputs.out);
    close(outputs.err);

    RunResult result;
    std::string terminal_output;
    int status = 0;
    bool ended = wait_child(child, outputs.master, &terminal_output,
                            std::chrono::steady_clock::now() + options.timeout, &status,
                            options.interrupt_when, options.interrupt_signal);
    result.exited = ended && WIFEXITED(status);
    if (result.exited) result.exit_status = WEXITSTATUS(status);
    if (ended && WIFSIGNALED(status)) result.end_signal = WTERMSIG(status);
    close(child.pidfd);
    if (outputs.master >= 0) close(outputs.master);

    if (options.closed_pipe) return result;
    result.out = read_text(folder + "/stdout.txt");
    result.err = options.terminal ? terminal_output : read_text(folder + "/stderr.txt");
    return result;
}

int count_of(const std::string& haystack, const std::string& needle) {
    int count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace apptest
