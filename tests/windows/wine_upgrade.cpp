// A whole windowless upgrade of the Windows program under wine, against the emulated modem. The
// modem lives on pseudo-terminals here; as it changes mode this side does what Windows would: the
// port's device comes and goes in the device list of the wine prefix (through the fake_devices
// program), a COM link in the prefix leads to the new terminal, and the program's windows hear of
// the change.
//
//   wine_upgrade <package folder> <dump folder> <fake_devices.exe> [--dialog]
//
// Runs "<package folder>/fwupgrade.exe run" under wine (WINEPREFIX and FWUP_TIME_DIVISOR from the
// environment), or with --dialog "fwupgrade.exe" without arguments, whose dialog someone else
// answers (tests/windows/dialog_driver.cpp); then writes what the modem holds under
// <dump folder>/efs and <dump folder>/flash, and exits with the program's exit status (2 when the
// modem or the dumps failed).
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/instance_id.h"
#include "emulator/emulator.h"
#include "emulator/pty_provider.h"
#include "testbed/child_process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kToolLimitMs = 60000;
constexpr int kRunLimitMs = 600000;

std::string wine_program() {
    for (const char* candidate : {"/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"})
        if (::access(candidate, X_OK) == 0) return candidate;
    return "wine";
}

// How the modem shows up on a Windows machine in each mode: its port's instance identifier and
// name, on a COM number of its own.
struct WindowsPort {
    std::string instance_id;
    std::string name;
    int com = 0;
};

WindowsPort port_in(emu::Mode mode) {
    UsbPortRecord port;
    port.vendor_id = "05c6";
    port.serial = "EMU0001";
    if (mode == emu::Mode::Diag) {
        port.product_id = "9003";
        port.interface_number = "00";
        port.num_interfaces = "3";
        return {port_instance_id(port), "USB Modem Diagnostics (COM5)", 5};
    }
    port.product_id = "9100";
    port.interface_number = "00";
    port.num_interfaces = "1";
    return {port_instance_id(port), "USB Modem Download (COM6)", 6};
}

extern "C" char** environ;

// "fake_devices serve" under wine, started once: a command a line, answered with "ok".
class FakeDevices {
  public:
    explicit FakeDevices(const std::string& program) {
        int to_child[2], from_child[2];
        if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        std::string wine = wine_program(), serve = "serve", path = program;
        char* argv[] = {wine.data(), path.data(), serve.data(), nullptr};
        if (posix_spawn(&pid_, wine.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(to_child[0]);
        ::close(from_child[1]);
        to_ = to_child[1];
        from_ = from_child[0];
    }
    ~FakeDevices() {
        if (to_ >= 0) ::close(to_);  // the end of its input ends it
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        if (from_ >= 0) ::close(from_);
    }

    // Sends one command (its fields joined by tabs) and waits for the answer.
    bool command(const std::vector<std::string>& fields) {
        std::string line;
        for (const std::string& field : fields)
            line += (line.empty() ? "" : "\t") + field;
        line += "\n";
        if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return false;
        std::string answer;
        char c = 0;
        while (answer.size() < 64) {
            pollfd p{from_, POLLIN, 0};
            if (::poll(&p, 1, kToolLimitMs) <= 0 || ::read(from_, &c, 1) != 1) return false;
            if (c == '\n') break;
            if (c != '\r') answer += c;
        }
        if (answer != "ok") std::fprintf(stderr, "wine_upgrade: %s failed\n", line.c_str());
        return answer == "ok";
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

class WineBus : public emu::PortProvider {
  public:
    WineBus(std::string prefix, const std::string& fake_devices)
        : prefix_(std::move(prefix)), fake_(fake_devices) {}

    emu::Endpoint attach(emu::Mode mode, bool after_reset) override {
        emu::Endpoint endpoint = pty_.attach(mode, after_reset);
        if (endpoint.master_fd < 0) return endpoint;
        const WindowsPort port = port_in(mode);
        link_com(port.com, endpoint.device_node);
        fake({"add", "PORTS", port.instance_id, port.name});
        fake({"notify", "arrival"});
        std::lock_guard lock(mutex_);
        attached_[endpoint.master_fd] = port;
        return endpoint;
    }

    void detach(const emu::Endpoint& endpoint) override {
        WindowsPort port;
        {
            std::lock_guard lock(mutex_);
            port = attached_[endpoint.master_fd];
            attached_.erase(endpoint.master_fd);
        }
        fake({"remove", "PORTS", port.instance_id});
        std::error_code ignored;
        fs::remove(com_link(port.com), ignored);
        pty_.detach(endpoint);
        fake({"notify", "removal"});
    }

    int unread(const emu::Endpoint& endpoint) const { return pty_.unread(endpoint); }

    // No device of an earlier run is left in the prefix.
    void clear() {
        fake({"remove", "PORTS", "*"});
        fake({"remove", "DiskDrive", "*"});
        for (int com : {5, 6}) {
            std::error_code ignored;
            fs::remove(com_link(com), ignored);
        }
    }

  private:
    std::string com_link(int com) const {
        return prefix_ + "/dosdevices/com" + std::to_string(com);
    }
    void link_com(int com, const std::string& node) {
        std::error_code ignored;
        fs::remove(com_link(com), ignored);
        fs::create_symlink(node, com_link(com), ignored);
    }
    void fake(const std::vector<std::string>& command) {
        std::lock_guard lock(fake_mutex_);
        fake_.command(command);
    }

    std::string prefix_;
    std::mutex fake_mutex_;
    FakeDevices fake_;
    emu::PtyProvider pty_{false};
    std::mutex mutex_;
    std::map<int, WindowsPort> attached_;
};

}  // namespace

int main(int argc, char** argv) {
    const bool dialog = argc == 5 && std::string(argv[4]) == "--dialog";
    if (argc != 4 && !dialog) {
        std::fprintf(stderr,
                     "usage: %s <package folder> <dump folder> <fake_devices.exe> [--dialog]\n",
                     argv[0]);
        return 2;
    }
    const std::string package = argv[1];
    const std::string dumps = argv[2];
    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix) {
        std::fprintf(stderr, "wine_upgrade: WINEPREFIX is not set\n");
        return 2;
    }
    WineBus bus(prefix, argv[3]);
    bus.clear();

    emu::Options options;
    options.provider = &bus;
    options.unread = [&bus](const emu::Endpoint& endpoint) { return bus.unread(endpoint); };
    emu::Emulator device(options);
    device.on_change([](const emu::Change& change) {
        std::printf("wine_upgrade: %s %s %s\n",
                    change.kind == emu::Change::Kind::Arrived ? "arrived" : "left",
                    emu::mode_name(change.mode), change.device_node.c_str());
        std::fflush(stdout);
    });
    if (!device.start()) {
        std::fprintf(stderr, "wine_upgrade: the modem did not start: %s\n", device.error().c_str());
        return 2;
    }
    device.efs_put_dir("/home/old");
    device.efs_put_file("/home/old/notes.txt", {'o', 'l', 'd', '\n'});

    testbed::ChildOptions run;
    run.time_limit_ms = kRunLimitMs;
    run.working_dir = package;
    run.echo = true;
    std::vector<std::string> command{wine_program(), package + "/fwupgrade.exe", "run"};
    if (dialog) command.pop_back();
    testbed::ChildResult result = testbed::run_child(command, run);
    const bool returned =
        device.wait_finished(std::chrono::seconds(result.exit_status == 0 ? 30 : 1));
    const bool dumped = device.dump_efs(dumps + "/efs") && device.dump_flash(dumps + "/flash");
    device.stop();
    bus.clear();
    std::printf("wine_upgrade: fwupgrade.exe %s with status %d; the modem %s\n",
                result.finished ? "exited" : "was stopped at the time limit", result.exit_status,
                returned ? "came back" : "did not come back");
    if (!result.finished || !dumped) return 2;
    return result.exit_status;
}
