#include "app/progress_plan.h"

#include "app/firmware_plan.h"
#include "copy/copy_job.h"
#include "diag/diag_commands.h"
#include "probe/mode_probe.h"

namespace {

class Planner {
  public:
    void step(const std::string& name, long long cost) {
        at_ += cost;
        plan_.ends.emplace_back(name, at_);
    }
    ProgressPlan done() {
        plan_.total = at_;
        return plan_;
    }

  private:
    ProgressPlan plan_;
    long long at_ = 0;
};

// Every file and image.iso is written and read back block by block.
long long copy_cost(const Package& package) {
    long long cost = kHelloCost;
    if (package.has_home) {
        const HomePlan& home = package.home;
        cost += kEmptyHomeCost + home.folders * kFolderCost + home.links * kLinkCost;
        // Each file's blocks both ways: its bytes, and a closing block each way besides the
        // full ones, which the files' sum of bytes does not show.
        cost += 2 * transfer_cost(static_cast<long long>(home.bytes)) +
                home.files * (kFileCost + 2LL * kExchangeCost);
    }
    if (package.has_iso) cost += 2 * transfer_cost(static_cast<long long>(package.iso_size));
    return cost;
}

// What sending a file of the firmware plan moves the bar by.
long long share_cost(const FirmwareFile& file, const Package& package) {
    switch (file.share) {
        case FirmwareShare::Records:
            return 3LL * kExchangeCost + static_cast<long long>(package.programmer.data_bytes) +
                   static_cast<long long>(package.programmer.data_records) * kExchangeCost;
        case FirmwareShare::Blocks:
            break;
    }
    return transfer_cost(static_cast<long long>(package.firmware_size(file.name))) + kExchangeCost;
}

// The programmer's hello and security mode; then every file the flash programmer takes, each a
// step by its own name, in the order of the firmware plan. A package without the set (a device
// found in download mode that is then refused) has none of these steps.
void plan_stream(Planner& planner, const Package& package, bool hello) {
    long long before = (hello ? 2LL : 1LL) * kExchangeCost;
    for (const FirmwareFile& file : firmware_plan()) {
        if (file.role == FirmwareRole::Programmer || !package.has_firmware()) continue;
        planner.step(file.name, before + share_cost(file, package));
        before = 0;
    }
    planner.step(kStepReturn, wait_cost(kReturnWaitMs));
}

void plan_download(Planner& planner, const Package& package) {
    planner.step(kStepProgrammer, share_cost(firmware_file(FirmwareRole::Programmer), package));
    planner.step(kStepProgrammerUp, wait_cost(kProgrammerWaitMs));
    plan_stream(planner, package, true);
}

}  // namespace

long long ProgressPlan::end_of(const std::string& step) const {
    for (const auto& [name, end] : ends)
        if (name == step) return end;
    return 0;
}

ProgressPlan plan_progress(const Package& package, int mode) {
    Planner planner;
    switch (mode) {
        case MODE_DIAG:
            planner.step(kStepCopy, copy_cost(package));
            if (package.has_firmware()) {
                planner.step(kStepSwitch, kExchangeCost + wait_cost(kSwitchWaitMs));
                plan_download(planner, package);
            }
            break;
        case MODE_DLOAD:
            plan_download(planner, package);
            break;
        case MODE_STREAM:
            plan_stream(planner, package, false);
            break;
        default:
            break;
    }
    return planner.done();
}
