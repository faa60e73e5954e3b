#include "app/device_return.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/checked_mode.h"
#include "app/modem_choice.h"
#include "app/run_log.h"
#include "app/settings_check.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/device_events.h"
#include "discovery/disk_discovery.h"
#include "discovery/port_discovery.h"
#include "link/device_line.h"
#include "probe/mode_probe.h"

namespace {

constexpr int kRemovalLooks = 5;
constexpr int kRemovalLookMs = 20;

// The state starts, and is reset, at 0.
static_assert(DEVICE_IDLE == 0);

void handle_event(Session& session, int event) {
    const int state = device_state(session);
    PortSearch& awaited = session.device_return.awaited;
    // The settings of the session's package as they are now, as every search reads them.
    awaited.settings = session.package_folder.settings_path();
    if (state == DEVICE_RESETTING && event == DBT_DEVICEREMOVECOMPLETE) {
        // Another port of the device may still be there while the rest of it goes away. Linux
        // announces a removal before the device database has let go of the device, so a port
        // listed right away may be the leaving one: look again briefly before deciding so.
        for (int look = 0; look < kRemovalLooks; ++look) {
            if (look > 0) pause_ms(session.line, kRemovalLookMs);
            if (!find_any_port(awaited)) {
                set_device_state(session, DEVICE_GONE);
                break;
            }
        }
    } else if (state == DEVICE_GONE && event == DBT_DEVICEARRIVAL) {
        // The new firmware may bring the disk up before, or instead of, a port.
        if (find_mmc_disk(awaited.settings, awaited.location, session.log()) == 1)
            set_device_state(session, DEVICE_BACK_DISK);
        else if (find_any_port(awaited))
            set_device_state(session, DEVICE_BACK_PORT);
    }
}

bool no_events_pending(DeviceReturnState& state) {
    std::lock_guard<std::mutex> hold(state.pending_lock);
    return state.pending_events.empty();
}

// Whoever holds the state handles what is pending, and looks again after letting go: an event
// pushed while the state was held is then never left behind.
void handle_pending_events(Session& session) {
    DeviceReturnState& state = session.device_return;
    do {
        std::unique_lock<std::mutex> hold(state.hold_lock, std::try_to_lock);
        if (!hold.owns_lock()) return;
        std::vector<int> events;
        {
            std::lock_guard<std::mutex> take(state.pending_lock);
            events.swap(state.pending_events);
        }
        for (int event : events)
            handle_event(session, event);
    } while (!no_events_pending(state));
}

}  // namespace

int device_state(Session& session) {
    return session.device_return.state;
}

void set_device_state(Session& session, int state) {
    session.device_return.state = state;
}

void await_modem_at(Session& session, const std::string& location) {
    std::lock_guard<std::mutex> hold(session.device_return.hold_lock);
    session.device_return.awaited = PortSearch{};
    session.device_return.awaited.location = location;
    session.device_return.awaited.log = &session.log();
}

void on_device_change(Session& session, int event) {
    note_device_event(session);
    {
        std::lock_guard<std::mutex> hold(session.device_return.pending_lock);
        session.device_return.pending_events.push_back(event);
    }
    handle_pending_events(session);
}

void hold_device_return(Session& session, const std::function<void()>& step) {
    {
        std::lock_guard<std::mutex> hold(session.device_return.hold_lock);
        step();
    }
    handle_pending_events(session);
}

void show_startup_info(DialogHandle dialog, const std::string& text) {
    const std::string notice = log_notice();
    if (notice.empty())
        set_info(dialog, text);
    else
        set_info(dialog, text.empty() ? notice : notice + ". " + text);
}

namespace {

constexpr const char* kDownloadModeInfo =
    "Device is in download mode: Start resumes the firmware download.";
// A console has no Start: the run that found the modem goes on with the download itself.
constexpr const char* kDownloadModeConsoleInfo =
    "The modem is in download mode: this run resumes the firmware download.";

// A device that answers DIAG shows its firmware version beside the one the package installs.
int show_versions(Session& session, DialogHandle dialog, const char* target) {
    const char* version = retry_get_build_ver(session.line);
    if (!version) {
        show_startup_info(dialog, "Read Device fail, please re-plug device and try again.");
        return 0;
    }
    record_checked_version(session, version);
    show_startup_info(dialog, "Device current version is " + std::string(version) +
                                  ", will be upgraded to " + target);
    return 1;
}

// A device left in the boot downloader or the flash programmer by an interrupted run shows up on a
// download port; the worker takes up the download from there, so the user is told what Start does.
// Found on the diag port, such a device gets an empty information line, as it always has.
int probe_found_port(Session& session, DialogHandle dialog, int port, const char* target,
                     bool download_port) {
    int offer = 1;
    const int mode = probe_mode(session.line, port);
    record_checked_mode(session, port, mode);
    switch (mode) {
        case MODE_NONE:
            show_startup_info(dialog, "Warning: not in diag mode!");
            offer = 0;
            break;
        case MODE_DIAG:
            offer = show_versions(session, dialog, target);
            break;
        default:
            if (download_port)
                show_startup_info(
                    dialog, session.windowless ? kDownloadModeConsoleInfo : kDownloadModeInfo);
            else if (!log_notice().empty())
                show_startup_info(dialog, "");
            break;
    }
    close_port(session.line);
    return offer;
}

// Without settings.ini, or with one that names no port, no port can be searched for, and "Can't
// find device" would send the user looking at the cable instead of at the package.
bool settings_usable(Session& session, DialogHandle dialog) {
    const std::string folder = session.package_folder.program_folder();
    const std::string path = settings_path(folder);
    std::error_code ignored;
    std::string refusal;
    if (!std::filesystem::exists(path, ignored))
        refusal = "Error: Can't find settings.ini in " + folder;
    else if (check_settings_content(path, &refusal))
        return true;
    show_startup_info(dialog, refusal);
    session.log().write("%s\n", refusal.c_str());
    return false;
}

}  // namespace

std::string several_modems_refusal(const std::string& settings) {
    const int modems = count_package_modems(settings);
    if (modems <= 1) return "";
    return std::to_string(modems) +
           " modems of this package are plugged in: choose the one to upgrade";
}

namespace {

// The dialog's information line has room for one sentence, not for the table a console gets.
std::string dialog_refusal(const std::string& settings, const std::string& wanted,
                           const std::string& refusal) {
    std::string said = wanted.empty() ? several_modems_refusal(settings)
                                      : "The chosen modem " + wanted + " is not plugged in";
    return said.empty() ? refusal.substr(0, refusal.find('\n')) : said;
}

// Which modem to check: the one wanted (the dialog's chooser, --device), else the only one of the
// package plugged in. A run without a window hands the modems found and how to choose to its
// caller in *unchosen; the dialog says it in its information line. False, logged, when the check
// cannot tell which modem to work on.
bool modem_chosen(Session& session, DialogHandle dialog, const std::string& wanted,
                  ChosenModem* chosen, std::string* unchosen) {
    std::string refusal;
    const std::string settings = session.package_folder.settings_path();
    if (choose_modem(settings, wanted, chosen, &refusal)) return true;
    if (!refusal.empty() && refusal.back() == '\n') refusal.pop_back();
    if (session.windowless) {
        *unchosen = refusal;
    } else {
        // The log keeps the modems found; the console's way to choose is no use to the dialog.
        const std::string said = dialog_refusal(settings, wanted, refusal);
        show_startup_info(dialog, said);
        const std::size_t table = refusal.find('\n');
        refusal = said + (table == std::string::npos ? "" : refusal.substr(table));
    }
    session.log().write("%s\n", refusal.c_str());
    close_port(session.line);
    return false;
}

}  // namespace

int startup_device_check(Session& session, DialogHandle dialog) {
    ChosenModem chosen;
    std::string unchosen;
    return startup_check_of_modem(session, dialog, "", &chosen, &unchosen);
}

namespace {

// The check itself, on the modem chosen; the settings are usable.
int probe_chosen_modem(Session& session, DialogHandle dialog, const ChosenModem& chosen) {
    char target[kLongestTargetVersion + 1];
    const std::string settings = session.package_folder.settings_path();
    get_profile_string("id", "fw", "0", target, sizeof target, settings);

    close_port(session.line);
    PortSearch search;
    search.location = chosen.location;
    search.log = &session.log();
    search.settings = settings;
    for (int type : {PORT_DIAG, PORT_DOWNLOAD, PORT_SAVEDOWNLOAD}) {
        const std::optional<FoundPort> port = find_port(type, search);
        if (port) return probe_found_port(session, dialog, port->number, target, type != PORT_DIAG);
    }
    show_startup_info(dialog, "Error: Can't find device!");
    close_port(session.line);
    return 0;
}

}  // namespace

int startup_check_of_modem(Session& session, DialogHandle dialog, const std::string& wanted,
                           ChosenModem* chosen, std::string* unchosen) {
    if (!settings_usable(session, dialog)) return 0;
    if (!modem_chosen(session, dialog, wanted, chosen, unchosen)) return CHECK_SEVERAL_MODEMS;
    return probe_chosen_modem(session, dialog, *chosen);
}

int check_chosen_modem(Session& session, DialogHandle dialog, const ChosenModem& chosen) {
    if (!settings_usable(session, dialog)) return 0;
    return probe_chosen_modem(session, dialog, chosen);
}
