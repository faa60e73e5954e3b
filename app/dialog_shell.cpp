#include "app/dialog_shell.h"

#include <filesystem>

#include "app/device_return.h"
#include "app/package_check.h"
#include "app/package_folder.h"
#include "app/upgrade.h"
#include "base/clock.h"
#include "base/platform_paths.h"
#include "base/settings.h"

DialogShell DialogShell::product(Session& session) {
    DialogShell shell;
    shell.prepare = [&session] { init_globals(session); };
    // Without a window upgrade_init also checks the package; the dialog's Start does that. A run
    // the dialog starts is bound to the modem its check chose, as --device binds one.
    shell.check_modem = [&session](UpgradeDialog* dialog, const std::string& wanted) {
        return dialog_device_check(session, dialog, wanted);
    };
    shell.init = [&session](UpgradeDialog* dialog) {
        return dialog_device_check(session, dialog, "");
    };
    shell.check = shell.init;
    shell.modems = [&session] { return modem_entries(session.package_folder.settings_path()); };
    shell.package_folder = &session.package_folder;
    // The check's exchanges fail at once and its pauses end once a stop is asked for; the next
    // worker clears it.
    shell.cancel_check = [&session] { session.line.cancel.request(); };
    shell.start = [&session](UpgradeDialog* dialog) { return upgrade_start(session, dialog); };
    shell.worker_running = [&session] { return ::worker_running(session); };
    shell.stop_worker = [&session] { ::stop_worker(session); };
    shell.stopped_note = [&session] { return take_stopped_note(session); };
    shell.cleanup = [&session] { app_cleanup(session); };
    shell.device_change = [&session](int event) { on_device_change(session, event); };
    shell.package_beside_program = ::package_beside_program;
    return shell;
}

void DeviceCheckThread::start(std::function<int()> check, std::function<void(int)> done) {
    wait();
    running_ = true;
    stale_ = false;
    thread_ = std::thread([check = std::move(check), done = std::move(done)] { done(check()); });
}

void DeviceCheckThread::wait() {
    if (thread_.joinable()) thread_.join();
}

bool DeviceCheckThread::finish() {
    wait();
    running_ = false;
    return stale_;
}

bool DeviceCheckThread::device_changed() {
    if (running_) stale_ = true;
    return !running_;
}

namespace {

bool is_folder(const std::string& path) {
    std::error_code ignored;
    return !path.empty() && std::filesystem::is_directory(path, ignored);
}

}  // namespace

std::string folder_browser_start(const PackageFolder& package, const std::string& home) {
    const std::string folder = package.program_folder();
    if (is_folder(folder)) return folder;
    return is_folder(home) ? home : std::string();
}

std::string package_folder_refusal(const std::string& folder) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != path_separator())
        path += path_separator();
    Package package;
    std::string refusal;
    if (check_package(path, &package, &refusal)) return {};
    return refusal.empty() ? "not a package" : refusal;
}
