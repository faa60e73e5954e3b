#include "app/run_log.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "app/package_sums.h"
#include "base/log.h"
#include "base/platform_paths.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "discovery/disk_discovery.h"
#include "discovery/port_discovery.h"
#include "probe/mode_probe.h"

namespace {

// The wall clock's now, in whole seconds since 1970 and the milliseconds past them.
void wall_clock(std::int64_t* seconds, int* millis) {
    using namespace std::chrono;
    const auto since_epoch =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    *seconds = since_epoch / 1000;
    *millis = static_cast<int>(since_epoch % 1000);
}

std::string local_text(std::int64_t seconds, const char* format) {
    std::tm local{};
    char text[32];
    if (!local_time(seconds, &local) || !std::strftime(text, sizeof text, format, &local))
        return "?";
    return text;
}

void log_settings(LogSink& log, const std::string& folder) {
    const std::string path = settings_path(folder);
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
        log.write("settings.ini: none in the package folder\n");
        return;
    }
    char target[kPathBuffer];
    get_profile_string("id", "fw", "", target, sizeof target, path);
    log.write("settings.ini: fw=%s; ports: %s; disks: %s\n", target,
              port_identifiers_text(path).c_str(), joined(listed_disk_identifiers(path)).c_str());
}

}  // namespace

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

std::string port_identifiers_text(const std::string& settings) {
    return joined(listed_port_identifiers(settings));
}

std::string time_of_day() {
    std::int64_t seconds = 0;
    int millis = 0;
    wall_clock(&seconds, &millis);
    char text[8];
    std::snprintf(text, sizeof text, ".%03d", millis);
    return local_text(seconds, "%H:%M:%S") + text;
}

void log_run_header(LogSink& log, const std::string& folder) {
    std::int64_t seconds = 0;
    int millis = 0;
    wall_clock(&seconds, &millis);
    log.write("fwupgrade %s, started %s\n", FWUP_VERSION,
              local_text(seconds, "%Y-%m-%d %H:%M:%S").c_str());
    log.write("package folder: %s\n", folder.c_str());
    log_settings(log, folder);
    if (sums_missing(folder))
        log.write("sealed: no, the package has no %s\n", kSumsFile);
    else
        log.write(
            "sealed: yes, %s is there; every file is checked against it before anything "
            "is sent\n",
            kSumsFile);
}

int probe_mode(DeviceLine& line, int port) {
    line.log().write(
        "mode probe on port %d: asking %s; the failures logged for the protocols the device "
        "is not speaking are expected\n",
        port, kProbeOrder);
    const int mode = open_port(line, port);
    log_mode_found(line.log(), port, mode);
    return mode;
}

void log_mode_found(LogSink& log, int port, int mode) {
    log.write("mode found on port %d: %s\n", port, mode_name(mode));
}

void StageLog::begin(const std::string& name) {
    end("done");
    name_ = name;
    began_ = clock_->now();
    log_->write("%s stage begins: %s\n", time_of_day().c_str(), name_.c_str());
}

void StageLog::end(const char* how) {
    if (name_.empty()) return;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now() - began_);
    const long long ms = took.count();
    log_->write("%s stage ends: %s, %s after %lld.%03lld s\n", time_of_day().c_str(), name_.c_str(),
                how, ms / 1000, ms % 1000);
    name_.clear();
}
