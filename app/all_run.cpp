#include "app/all_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/console_display.h"
#include "app/device_return.h"
#include "app/dialog_shell.h"
#include "app/history.h"
#include "app/json_documents.h"
#include "app/modem_rows.h"
#include "app/package_check.h"
#include "app/package_sums.h"
#include "app/run_log.h"
#include "app/run_report.h"
#include "app/session.h"
#include "app/terminal.h"
#include "app/upgrade.h"
#include "base/log.h"
#include "base/log_sink.h"
#include "discovery/device_events.h"
#include "discovery/port_discovery.h"

namespace {

// The end of every modem's run is in the table; a box per modem would only repeat it.
class SilentBoxes : public MessageBoxes {
  public:
    bool show(const std::string&, const std::string&, BoxButtons, BoxIcon) override { return true; }
};

// One modem's run: its own log, session and worker, and how it ended.
struct ModemJob {
    PackageModem modem;
    std::string wanted;  // how its check and run name it: its location, else its serial number
    LogSink log;
    std::unique_ptr<Session> session;
    LastReason last_reason;
    std::string refusal;    // why its run could not begin
    std::string left_note;  // where a stopped run left it, and how to finish
    ModemRunReport report;
};

// What every modem's run shares: the package's verdict, the stop, the rows.
struct AllRun {
    std::string folder;
    StartupPackage verdict;
    std::vector<std::unique_ptr<ModemJob>> jobs;
    std::mutex jobs_lock;  // the interrupt's thread walks the jobs while they are being made
    std::atomic<int> stop_status{0};
};

// download-<location>.dbg, with every character a file name may not hold (on any system) made
// '_'; a modem whose location is unknown is named by its place in the run. Never a name twice.
std::string log_name(const ModemJob& job, std::size_t k, std::set<std::string>* used) {
    std::string name =
        job.modem.location.empty() ? "modem" + std::to_string(k + 1) : job.modem.location;
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    std::string file = "download-" + name + ".dbg";
    for (int again = 2; !used->insert(file).second; ++again)
        file = "download-" + name + "-" + std::to_string(again) + ".dbg";
    return file;
}

std::string label_of(const PackageModem& modem) {
    if (!modem.location.empty()) return modem.location;
    return modem.serial.empty() ? "unknown location" : "serial " + modem.serial;
}

// A job per modem, each on a log of its own; the summary says where each modem's log is.
void make_jobs(AllRun& all, std::vector<PackageModem> modems) {
    std::sort(modems.begin(), modems.end(),
              [](const PackageModem& a, const PackageModem& b) { return a.location < b.location; });
    std::set<std::string> used;
    std::lock_guard<std::mutex> hold(all.jobs_lock);
    for (PackageModem& modem : modems) {
        auto job = std::make_unique<ModemJob>();
        job->modem = std::move(modem);
        job->wanted = job->modem.location.empty() ? job->modem.serial : job->modem.location;
        const std::string name = log_name(*job, all.jobs.size(), &used);
        if (!job->log.open_named(name))
            log_write("%s: its log %s cannot be written: %s\n", label_of(job->modem).c_str(),
                      name.c_str(), job->log.notice().c_str());
        job->session = std::make_unique<Session>(real_clock(), job->log);
        job->session->windowless = true;
        job->session->package_folder.set(all.folder);
        if (all.stop_status) job->session->line.cancel.request();
        log_write("modem at USB location %s, serial number %s: its run logs to %s\n",
                  job->modem.location.empty() ? "unknown" : job->modem.location.c_str(),
                  job->modem.serial.empty() ? "none" : job->modem.serial.c_str(),
                  job->log.path().empty() ? "nowhere" : job->log.path().c_str());
        all.jobs.push_back(std::move(job));
    }
}

// A run follows its modem by its location: beside others, a modem whose location is unknown
// could not be told from them, and its run could end up talking to any of them.
bool nameable(const AllRun& all, const ModemJob& job) {
    return !job.modem.location.empty() || all.jobs.size() == 1;
}

// One modem's whole run, on a thread of its own: its start-up check, then its worker.
void run_modem(AllRun& all, ModemJob& job, UpgradeDialog& row) {
    Session& session = *job.session;
    log_run_header(job.log, all.folder);
    job.log.write("run --all: one of %d modems upgraded at once; this log is its run's alone\n",
                  static_cast<int>(all.jobs.size()));
    if (!nameable(all, job)) {
        job.refusal = "its USB location is unknown: upgrade it alone with run --device SERIAL";
        job.log.tell_reason("%s", job.refusal.c_str());
        return;
    }
    session.startup_package = all.verdict;
    // Bound to the modem as it was listed: listing again would only race the others' moves.
    check_modem_for_run(session, &row, ChosenModem{job.modem.location, job.modem.serial});
    if (!all.stop_status) upgrade_start(session, &row);
}

// Every modem's run at once; device changes go to every session, each of which takes only its
// own modem's.
void run_jobs(AllRun& all, ModemRows& rows) {
    std::vector<std::thread> threads;
    {
        DeviceEventThread events([&all](int event) {
            for (auto& job : all.jobs)
                on_device_change(*job->session, event);
        });
        for (std::size_t k = 0; k < all.jobs.size(); ++k) {
            ModemJob& job = *all.jobs[k];
            job.log.set_reason_listener([&rows, &job, k](const std::string& reason) {
                job.last_reason.set(reason);
                rows.show_reason(k, reason);
            });
            job.log.set_no_answer_listener(
                [&rows, k](const std::string& notice) { rows.show_notice(k, notice); });
            rows.row(k).set_status(kLookingForDevice);
            threads.emplace_back([&all, &job, &rows, k] { run_modem(all, job, rows.row(k)); });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    // The rows go before the runs are ended: what is told from now on is for the end text.
    for (auto& job : all.jobs) {
        job->log.set_reason_listener(nullptr);
        job->log.set_no_answer_listener(nullptr);
    }
}

// How each run ended, said in its own log and in the summary, and what it reports.
void end_job(AllRun& all, ModemJob& job, const AgainCommand& again) {
    Session& session = *job.session;
    const int stopped = all.stop_status;
    if (stopped && !last_run_succeeded(session))
        job.left_note = tell_run_stopped(session, again(job.wanted));
    job.report = run_report(session, job.refusal, stopped, &job.last_reason);
    HistoryEntry& entry = job.report.entry;
    // A run that never began knows its modem from the listing alone.
    if (!entry.location && !job.modem.location.empty()) entry.location = job.modem.location;
    if (!entry.serial && !job.modem.serial.empty()) entry.serial = job.modem.serial;
    job.report.exit_status = entry.result == kResultSuccess ? 0 : stopped ? stopped : 1;
    stop_worker(session);
    close_port(session.line);
    log_write("modem at %s: %s%s%s\n", label_of(job.modem).c_str(), entry.result.c_str(),
              entry.failed_stage ? " while " : "",
              entry.failed_stage ? entry.failed_stage->c_str() : "");
    job.log.close();
}

}  // namespace

namespace {

// The table of how each modem's run ended, how many succeeded, why the others did not and how to
// finish the ones a stop left in download mode.
std::string end_text(const AllRun& all) {
    std::vector<HistoryEntry> entries;
    int succeeded = 0, failed = 0, stopped = 0;
    for (const auto& job : all.jobs) {
        const HistoryEntry& entry = job->report.entry;
        entries.push_back(entry);
        succeeded += entry.result == kResultSuccess;
        failed += entry.result == kResultFailure;
        stopped += entry.result == kResultStopped;
    }
    std::string text = history_table(entries);
    text += std::to_string(all.jobs.size()) + " modems: " + std::to_string(succeeded) +
            " succeeded, " + std::to_string(failed) + " failed, " + std::to_string(stopped) +
            " stopped\n";
    for (const auto& job : all.jobs) {
        const std::string label = printable(label_of(job->modem));
        const HistoryEntry& entry = job->report.entry;
        if (job->report.reason)
            text += label + ": " + printable(*job->report.reason) +
                    (entry.failed_stage ? " (while " + printable(*entry.failed_stage) + ")" : "") +
                    "\n";
        if (!job->left_note.empty()) text += label + ": " + job->left_note;
    }
    const std::string log = log_path();
    text += log.empty() ? "No download.dbg could be written.\n" : "Log: " + log + "\n";
    return text;
}

// A run that ends before any modem's run began: no modem, or a refused package.
int end_unstarted(std::string why, bool json) {
    if (!why.empty() && why.back() == '\n') why.pop_back();
    std::fprintf(stderr, "%s\nNothing was sent to any modem.\n", why.c_str());
    log_write("%s\n", why.c_str());
    log_close();
    if (json) std::fputs(all_runs_document({}, 1).c_str(), stdout);
    return 1;
}

}  // namespace

int run_all(Session& program, const AgainCommand& again, bool json) {
    AllRun all;
    InterruptWatch interrupts([&all](int exit_status) {
        all.stop_status = exit_status;
        std::lock_guard<std::mutex> hold(all.jobs_lock);
        for (auto& job : all.jobs)
            job->session->line.cancel.request();
    });
    init_globals(program);
    all.folder = program.package_folder.program_folder();
    log_write("run --all: every modem of the package that is plugged in, at once\n");
    all.verdict.checked = true;
    if (!check_package(all.folder, &all.verdict.package, &all.verdict.refusal))
        return end_unstarted("Package check failed: " + all.verdict.refusal, json);
    const std::string settings = program.package_folder.settings_path();
    const std::optional<std::vector<PackageModem>> modems = list_package_modems(settings);
    if (!modems || modems->empty()) return end_unstarted(modem_table({}, settings), json);
    make_jobs(all, *modems);
    if (!all.verdict.package.sealed) std::fprintf(stderr, "%s\n", kNoSumsNote);

    SilentBoxes boxes;
    set_message_boxes(&boxes);
    {
        std::vector<std::string> names;
        for (const auto& job : all.jobs)
            names.push_back(label_of(job->modem));
        ModemRows rows(stderr, is_terminal(stderr), names);
        run_jobs(all, rows);
    }
    set_message_boxes(nullptr);
    std::vector<ModemRunReport> reports;
    bool all_succeeded = true;
    for (auto& job : all.jobs) {
        end_job(all, *job, again);
        reports.push_back(job->report);
        all_succeeded = all_succeeded && job->report.entry.result == kResultSuccess;
    }
    const std::string end = end_text(all);
    log_write("%s", end.c_str());
    std::fputs(end.c_str(), json ? stderr : stdout);
    log_close();
    const int status = all_succeeded ? 0 : all.stop_status ? all.stop_status.load() : 1;
    if (json) std::fputs(all_runs_document(reports, status).c_str(), stdout);
    return status;
}
