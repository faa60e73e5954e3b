#include "app/run_report.h"

#include "app/run_record.h"
#include "app/session.h"

ModemRunReport run_report(Session& session, const std::string& refusal, int stopped,
                          LastReason* reason) {
    std::optional<HistoryEntry> entry = take_last_run_entry(session);
    ModemRunReport report{entry ? *entry : unstarted_run_entry(session, stopped != 0),
                          reason->take()};
    // A run that reached its success end while being stopped has no reason to give.
    if (report.entry.result == kResultSuccess)
        report.reason.reset();
    else if (!refusal.empty())
        report.reason = refusal;
    else if (stopped)
        report.reason = kStoppedReason;
    if (report.reason && report.reason->empty()) report.reason.reset();
    return report;
}
