// The demo's device side: the emulated modem on a mocked USB bus, and the fwupgrade program run
// against it without a window, as a user would start it.
//
//   demo_device <package folder> <dump folder>
//
// Runs "<package folder>/fwupgrade run" with the terminal's output, its log going to
// <package folder>/download.dbg; afterwards writes what the device holds (file system, flash,
// programmer memory) under <dump folder>/efs and <dump folder>/flash, tells how the device moved
// between its modes and how long the run took, and exits with the program's exit status.
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/preload.h"

namespace {

extern "C" char** environ;

// The program inherits the mocked device database with the preload and the environment. It is
// started with posix_spawn: this process has threads, and a forked child could hang in a function
// the preload wraps.
int run_program(const std::string& folder) {
    std::string program = folder + "/fwupgrade";
    std::vector<std::string> env = {"XDG_DOCUMENTS_DIR=" + folder};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "XDG_DOCUMENTS_DIR=", 18) != 0) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string run = "run";
    char* argv[] = {program.data(), run.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // Ctrl-C is for the program, which stops cleanly on it; this side then still reports.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &interrupts);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::signal(SIGINT, SIG_IGN);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        std::fprintf(stderr, "demo: cannot start %s: %s\n", program.c_str(), std::strerror(failed));
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <package folder> <dump folder>\n", argv[0]);
        return 2;
    }
    const std::string package = argv[1];
    const std::string dumps = argv[2];

    testbed::MockedUsbDeviceOptions usb;
    usb.disk_after_reset = true;  // the new firmware brings its disk up as well
    testbed::MockedUsbDevice bus(usb);
    emu::Options options;
    options.provider = &bus;

    std::mutex changes_lock;
    std::vector<std::string> changes;
    const auto started = std::chrono::steady_clock::now();
    auto seconds = [started] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };

    emu::Emulator device(options);
    device.on_change([&](const emu::Change& change) {
        char line[160];
        std::snprintf(line, sizeof line, "  %6.1f s  %-7s %-6s %s%s", seconds(),
                      change.kind == emu::Change::Kind::Arrived ? "arrived" : "left",
                      emu::mode_name(change.mode), change.device_node.c_str(),
                      change.after_reset ? " (after the reset)" : "");
        std::lock_guard hold(changes_lock);
        changes.push_back(line);
    });
    if (!device.start()) {
        std::fprintf(stderr, "demo: the emulated device did not start: %s\n",
                     device.error().c_str());
        return 2;
    }
    // Left over from an earlier firmware: the upgrade empties "/home" first.
    device.efs_put_dir("/home/old");
    device.efs_put_file("/home/old/notes.txt", {'o', 'l', 'd', '\n'});

    std::printf("demo: device in normal mode on %s; running %s/fwupgrade run\n\n",
                device.device_node().c_str(), package.c_str());
    std::fflush(stdout);
    const auto run_started = std::chrono::steady_clock::now();
    int status = run_program(package);
    double run_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run_started).count();

    // After a success the device may still be settling on the bus; after a failure it may never.
    bool returned = device.wait_finished(std::chrono::seconds(status == 0 ? 30 : 1));
    bool dumped = device.dump_efs(dumps + "/efs") && device.dump_flash(dumps + "/flash");
    device.stop();

    std::printf("\ndemo: the device on the mocked USB bus:\n");
    {
        std::lock_guard hold(changes_lock);
        for (const std::string& change : changes)
            std::printf("%s\n", change.c_str());
    }
    std::printf("demo: fwupgrade exited with status %d after %.1f s; device %s; dumps %s\n", status,
                run_seconds, returned ? "came back" : "did not come back",
                dumped ? ("in " + dumps).c_str() : "failed");
    return dumped ? status : 2;
}
