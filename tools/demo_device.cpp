// The demo's device side: the emulated modem on a mocked USB bus, and the fwupgrade program run
// against it without a window, as a user would start it.
//
//   demo_device <package folder> <dump folder>
//
// Runs "<package folder>/fwupgrade run" with the terminal's output, its log going to
// <package folder>/download.dbg; afterwards writes what the device holds (file system, flash,
// programmer memory) under <dump folder>/efs and <dump folder>/flash, tells how the device moved
// between its modes and how long the run took, and exits with the program's exit status.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "testbed/mocked_usb_device.h"
#include "testbed/preload.h"

namespace {

// The program inherits the mocked device database with the preload and the environment.
int run_program(const std::string& folder) {
    std::string program = folder + "/fwupgrade";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        setenv("XDG_DOCUMENTS_DIR", folder.c_str(), 1);
        execl(program.c_str(), program.c_str(), "run", static_cast<char*>(nullptr));
        std::perror(program.c_str());
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
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

    bool returned = device.wait_finished(std::chrono::seconds(30));
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
