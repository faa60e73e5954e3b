#include "app/json_documents.h"

#include "app/history_json.h"

namespace {

// Keys beside the history's.
constexpr const char* kLocation = "location";
constexpr const char* kSerial = "serial";
constexpr const char* kMode = "mode";
constexpr const char* kPort = "port";
constexpr const char* kVersion = "version";
constexpr const char* kPackage = "package";
constexpr const char* kPackageVersion = "package_version";
constexpr const char* kPackageRefusal = "package_refusal";
constexpr const char* kDevice = "device";
constexpr const char* kVerdict = "verdict";
constexpr const char* kVerdictText = "verdict_text";
constexpr const char* kReason = "reason";
constexpr const char* kExitStatus = "exit_status";
constexpr const char* kModems = "modems";
constexpr const char* kSucceeded = "succeeded";
constexpr const char* kFailed = "failed";
constexpr const char* kStopped = "stopped";

// The verdicts of --check.
constexpr const char* kReady = "ready";
constexpr const char* kNotReady = "not_ready";

// The documents are for people too: indented, and ended by a line end like any output.
constexpr int kIndent = 2;

std::optional<std::string> known(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

Json port_value(int port) {
    return port >= 0 ? Json(port_path(port)) : Json(nullptr);
}

Json listed_object(const ListedModem& modem) {
    const bool probed = modem.port >= 0;
    return Json{{kLocation, optional_value(known(modem.location))},
                {kSerial, optional_value(known(modem.serial))},
                {kMode, probed ? Json(listed_mode_name(modem.mode)) : Json(nullptr)},
                {kPort, port_value(modem.port)},
                {kVersion, optional_value(known(modem.version))}};
}

Json device_object(const CheckedDevice& device) {
    return Json{{kPort, port_value(device.port)},
                {kLocation, optional_value(device.location)},
                {kSerial, optional_value(device.serial)},
                {kMode, listed_mode_name(device.mode)},
                {kVersion, optional_value(device.version)}};
}

std::string document_text(const Json& document) {
    return json_text(document, kIndent) + "\n";
}

}  // namespace

std::string list_document(const std::vector<ListedModem>& modems) {
    Json array = Json::array();
    for (const ListedModem& modem : modems)
        array.push_back(listed_object(modem));
    return document_text(array);
}

std::string check_document(const CheckReport& report) {
    return document_text(
        Json{{kPackage, report.package},
             {kPackageVersion, optional_value(report.package_version)},
             {kPackageRefusal, optional_value(report.package_refusal)},
             {kDevice, report.device ? device_object(*report.device) : Json(nullptr)},
             {kVerdict, report.ready ? kReady : kNotReady},
             {kVerdictText, report.verdict_text},
             {kExitStatus, report.exit_status}});
}

namespace {

Json run_object(const ModemRunReport& run) {
    Json object = history_object(run.entry);
    object[kReason] = optional_value(run.reason);
    object[kExitStatus] = run.exit_status;
    return object;
}

}  // namespace

std::string run_document(const HistoryEntry& entry, const std::optional<std::string>& reason,
                         int exit_status) {
    return document_text(run_object({entry, reason, exit_status}));
}

std::string all_runs_document(const std::vector<ModemRunReport>& runs, int exit_status) {
    Json array = Json::array();
    int succeeded = 0, failed = 0, stopped = 0;
    for (const ModemRunReport& run : runs) {
        array.push_back(run_object(run));
        succeeded += run.entry.result == kResultSuccess;
        failed += run.entry.result == kResultFailure;
        stopped += run.entry.result == kResultStopped;
    }
    return document_text(Json{{kModems, array},
                              {kSucceeded, succeeded},
                              {kFailed, failed},
                              {kStopped, stopped},
                              {kExitStatus, exit_status}});
}
