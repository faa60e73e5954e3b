#include "testbed/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace testbed {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_program(const std::string& name, const std::string& path_list) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return name;
    std::vector<std::string> folders(1);
    for (char c : path_list) {
        if (c == ':') {
            folders.emplace_back();
        } else {
            folders.back().push_back(c);
        }
    }
    for (const std::string& folder : folders) {
        const std::string candidate =
            (std::filesystem::path(folder.empty() ? "." : folder) / name).string();
        if (is_executable_file(candidate)) return candidate;
    }
    return {};
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    return find_program(name, path ? path : "/usr/local/bin:/usr/bin:/bin");
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    const std::vector<std::string>& extra_env = options.extra_env;
    const std::string& working_dir = options.working_dir;
    ChildResult result;
    if (argv.empty()) return result;

    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& extra : extra_env)
            if (extra.substr(0, extra.find('=')) == name) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> arg_pointers = pointers(args);
    std::vector<char*> env_pointers = pointers(env);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_pointers.data(),
                              env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    result.started = spawned == 0;
    if (spawned != 0) {
        close(pipe_fds[0]);
        result.start_error = spawned;
        result.output = std::string("cannot start ") + args[0] + ": " + std::strerror(spawned);
        return result;
    }

    // Read until the child closes its output (it ended, or handed the pipe on) or time runs out.
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.time_limit_ms);
    bool timed_out = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd fd{pipe_fds[0], POLLIN, 0};
        int ready = poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(n));
        if (options.echo) {
            std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
            std::fflush(stdout);
        }
    }
    close(pipe_fds[0]);
    if (timed_out) kill(pid, SIGKILL);

    // The child may close its output before it ends: give it the rest of the time to exit.
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (!timed_out && std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
            kill(pid, SIGKILL);
        }
        if (timed_out) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(10 * 1000);
    }
    result.finished = !timed_out;
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace testbed
