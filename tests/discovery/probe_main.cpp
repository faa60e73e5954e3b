// discovery_probe: what a separate program sees of the mocked devices, for the tests that run
// programs beside the testbed. Prints one line per finding.
//   discovery_probe FOLDER ports    the present USB serial ports: "<node> <instance id>"
//   discovery_probe FOLDER switch   finds the diag port, switches the modem to download mode,
//                                   waits for its departure and return, finds it again
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/device_enum.h"
#include "discovery/device_events.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "probe/mode_probe.h"

namespace {

int list_ports() {
    std::optional<std::vector<UsbPortRecord>> ports = enumerate_usb_ports();
    if (!ports) return 1;
    for (const UsbPortRecord& port : *ports)
        std::printf("%s %s\n", port.device_node.c_str(), port_instance_id(port).c_str());
    return 0;
}

int switch_modes() {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> events;
    DeviceEventThread watcher([&](int event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        changed.notify_all();
    });
    DeviceLine line;
    PortSearch search;
    search.settings = settings_path(own_program_folder());
    const int diag = find_port(PORT_DIAG, search).value_or(FoundPort{}).number;
    std::printf("diag port %d mode %d\n", diag, diag >= 0 ? open_port(line, diag) : -1);
    std::printf("switch %d\n", switch_dl_mode(line));
    {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= 2; });
        for (int event : events)
            std::printf("event 0x%04x\n", event);
    }
    const int download = find_port(PORT_DOWNLOAD, search).value_or(FoundPort{}).number;
    std::printf("download port %d mode %d\n", download,
                download >= 0 ? open_port(line, download) : -1);
    close_port(line);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    set_program_folder_override(std::string(argv[1]) + "/");
    log_open();
    int status = std::strcmp(argv[2], "ports") == 0    ? list_ports()
                 : std::strcmp(argv[2], "switch") == 0 ? switch_modes()
                                                       : 2;
    log_close();
    return status;
}
