// The firmware download stages: switch to the boot downloader, load the flash programmer, write
// the partition table and the images, reset and wait for the device to come back (what it then
// runs is checked in app/version_check.cpp).
#include <algorithm>
#include <mutex>
#include <string>

#include "app/device_return.h"
#include "app/firmware_plan.h"
#include "app/run_log.h"
#include "app/worker.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/reasons.h"
#include "base/sent_file.h"
#include "diag/diag_commands.h"
#include "discovery/port_discovery.h"
#include "dload/dload_commands.h"
#include "dload/hex_upload.h"
#include "link/attempts.h"
#include "link/device_line.h"
#include "probe/mode_probe.h"
#include "stream/image_stream.h"
#include "stream/stream_commands.h"

namespace {

constexpr int kPassPauseMs = 1000;
constexpr int kSecurityPauseMs = 100;
// After the reset: 300 polls of 50 ms, 15 s for the device to come back.
constexpr int kReturnPolls = 300;
constexpr int kReturnPollMs = 50;

// Up to kAttempts tries of a boot downloader command.
bool retry_command(DeviceLine& line, int (*command)(DeviceLine&)) {
    for (int attempt = 0; attempt < kAttempts; ++attempt)
        if (command(line)) return true;
    return false;
}

// A wait for the device moves the bar on by its length, up to the end of the wait's share, which
// the device may reach sooner or later than planned.
void wait_goes_on(Run& run, const char* step, int ms) {
    const long long end = run.plan.end_of(step);
    progress_reach(run.dialog, &run.counter, std::min(run.counter + wait_cost(ms), end));
}

// The end of a step of the plan: the bar stands where the plan has it.
void step_done(Run& run, const std::string& step) {
    progress_reach(run.dialog, &run.counter, run.plan.end_of(step));
}

// Sends the switch. False when the device said no to every request: it will not turn up in
// download mode, and waiting 13 s for it would only hide its answer.
bool ask_for_download_mode(Run& run) {
    std::string refusal;
    const int reasons = run.line.log().reasons_told();
    const int switched = switch_dl_mode(run.line, &refusal);
    if (!refusal.empty()) {
        fail_because(run, reasons, "the device refused the switch to download mode: " + refusal);
        return false;
    }
    if (!switched) {
        // The device leaves as soon as it has taken the switch, so its answer can be lost or
        // garbled on the way while the switch happened all the same: whether it did shows only by
        // the device turning up in download mode.
        close_port(run.line);
        run.line.log().write(
            "switch dl mode: no good answer, looking for the device in download mode\n");
    }
    return true;
}

}  // namespace

int switch_to_download_mode(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.stage = "switching to download mode";
    run.stages.begin("switch to download mode");
    set_status(dialog, "Going to download mode...");
    pause_ms(run.line, 1);
    if (!ask_for_download_mode(run)) return 0;
    // Even a switch whose answer was lost has most likely been taken.
    run.download_mode = true;

    progress_advance(dialog, &run.counter, kExchangeCost);
    int mode = MODE_NONE;
    pause_ms(run.line, kPassPauseMs);
    wait_goes_on(run, kStepSwitch, kPassPauseMs);
    // Only download ports are searched: the boot downloader never shows up as a diag port. A
    // device still answering DIAG (or already streaming) is let go and looked at again next pass;
    // after the last pass the last probe's answer stands.
    for (int pass = 0; pass < kPortPasses && !stop_requested(run.line); ++pass) {
        pause_ms(run.line, kPassPauseMs);
        wait_goes_on(run, kStepSwitch, kPassPauseMs);
        const std::optional<FoundPort> port = find_port(PORT_DOWNLOAD, run.search);
        if (port && port->number > 0) {
            mode = probe_mode(run.line, port->number);
            if (mode == MODE_DLOAD) {
                follow_modem(run, *port);
                break;
            }
            if (mode == MODE_DIAG || mode == MODE_STREAM) close_port(run.line);
        }
    }
    step_done(run, kStepSwitch);
    if (mode == MODE_NONE) {
        if (!stop_requested(run.line))
            run.line.log().tell_reason("the device did not answer on a download port");
        return failure_end(run);
    }
    // A download port that answered only as normal firmware or as the flash programmer has been
    // let go: there is no boot downloader to load the programmer into.
    if (mode != MODE_DLOAD) {
        if (!stop_requested(run.line))
            run.line.log().tell_reason(
                "the device's download port did not answer as its boot downloader");
        return failure_end(run);
    }
    return boot_downloader_stage(run);
}

int boot_downloader_stage(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.stage = "loading the flash programmer";
    run.stages.begin("boot downloader stage");
    const int reasons = run.line.log().reasons_told();
    if (!retry_command(run.line, send_dload_request))
        return fail_because(run, reasons, "the boot downloader did not take the download request");
    progress_advance(dialog, &run.counter, kExchangeCost);
    if (!retry_command(run.line, send_dload_unlock))
        return fail_because(run, reasons, "the boot downloader did not unlock");

    progress_advance(dialog, &run.counter, kExchangeCost);
    const FirmwareFile& programmer = firmware_file(FirmwareRole::Programmer);
    set_status(dialog, programmer.status);
    // A failed upload shows as the flash programmer not answering below (a start whose answer was
    // lost may still have started it), and the reason then says the upload failed.
    const bool uploaded =
        retry_start_go(run.line, run.file(programmer.name).c_str(), dialog, &run.counter);
    // A programmer that changed since the package check was not started: nothing to wait for.
    if (!uploaded && !changed_package_file(run.line.log()).empty()) return failure_end(run);
    step_done(run, kStepProgrammer);

    run.stage = "waiting for the flash programmer";
    int mode = MODE_NONE;
    for (int pass = 0; pass < kPortPasses && !stop_requested(run.line); ++pass) {
        const std::optional<FoundPort> port = find_port(PORT_DOWNLOAD, run.search);
        if (port && port->number > 0) mode = open_dl_port(run.line, port->number);
        if (mode == MODE_DLOAD) {
            follow_modem(run, *port);
            break;
        }
        pause_ms(run.line, kPassPauseMs);
        wait_goes_on(run, kStepProgrammerUp, kPassPauseMs);
    }
    step_done(run, kStepProgrammerUp);
    if (mode == MODE_NONE) {
        if (!stop_requested(run.line) && uploaded)
            run.line.log().tell_reason("the flash programmer did not answer after it was loaded");
        if (!stop_requested(run.line) && !uploaded)
            run.line.log().tell_reason(
                "the flash programmer could not be loaded: the boot downloader did not take "
                "it whole or did not confirm its start");
        return failure_end(run);
    }
    return streaming_stage(run);
}

namespace {

// The images in the order of the firmware plan, each opened (with the header right before it in
// the plan, if any) and streamed; 1 when all of them went.
int write_images(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    const FirmwareFile* header = nullptr;
    for (const FirmwareFile& image : firmware_plan()) {
        if (image.role == FirmwareRole::Header) header = &image;
        if (image.role != FirmwareRole::Image) continue;
        pause_ms(run.line, 1);
        std::string header_path = header ? run.file(header->name) : std::string();
        run.stage = std::string("opening ") + image.name;
        if (header) set_status(dialog, header->status);
        int reasons = run.line.log().reasons_told();
        if (!send_multi_image_open(run.line, header ? header_path.c_str() : nullptr,
                                   image.image_type))
            return fail_because(run, reasons,
                                std::string("the flash programmer did not open ") + image.name);
        if (header) step_done(run, header->name);
        pause_ms(run.line, 1);
        set_status(dialog, image.status);
        run.stage = std::string("downloading ") + image.name;
        reasons = run.line.log().reasons_told();
        if (!dl_dload_amss(run.line, run.file(image.name).c_str(), dialog, &run.counter))
            return fail_because(
                run, reasons,
                std::string("the flash programmer did not take all of ") + image.name);
        step_done(run, image.name);
        header = nullptr;
    }
    return 1;
}

// The final reset, then the wait for the device to come back.
int reset_and_wait(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.stage = "resetting the device";
    set_status(dialog, "Resetting device...");
    int reset = 0;
    // Only this modem leaving and coming back ends the wait; other modems come and go as they
    // will.
    await_modem_at(run.session, run.search.location);
    // The device-return handling searches ports (closing the serial port) once the state leaves
    // DEVICE_IDLE; events that come during the reset exchange are handled after it.
    hold_device_return(run.session, [&] {
        set_device_state(run.session, DEVICE_RESETTING);
        reset = dl_reset(run.line);
    });
    // Its answer may have been lost while the device reset all the same.
    if (!reset)
        return fail_because(run, run.line.log().reasons_told(),
                            "the device did not confirm its reset");
    run.download_mode = false;  // it starts its firmware again
    run.stage = "waiting for the device to come back";
    run.stages.begin("return of the device");
    set_status(dialog, "Finding device...");
    set_info(dialog, "Warning: Do not plug out device during download process!");

    for (int poll = 0; poll < kReturnPolls && !stop_requested(run.line); ++poll) {
        pause_ms(run.line, kReturnPollMs);
        wait_goes_on(run, kStepReturn, kReturnPollMs);
        const int state = device_state(run.session);
        if (state == DEVICE_BACK_DISK || state == DEVICE_BACK_PORT)
            return check_version_after_return(run);
    }
    if (!stop_requested(run.line))
        run.line.log().tell_reason("the device did not come back within 15 s");
    return failure_end(run);
}

}  // namespace

int streaming_stage(Run& run) {
    UpgradeDialog* dialog = run.dialog;
    run.stages.begin("streaming stage");
    set_status(dialog, "Loading download code ok...");

    // Not every flash programmer knows the security mode; the download goes on without it.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) pause_ms(run.line, kSecurityPauseMs);
        if (send_dl_security(run.line)) break;
    }

    run.stage = "writing the partition table";
    const FirmwareFile& table = firmware_file(FirmwareRole::Table);
    set_status(dialog, table.status);
    const int reasons = run.line.log().reasons_told();
    if (!send_partition_table(run.line, run.file(table.name).c_str()))
        return fail_because(run, reasons, "the flash programmer did not take the partition table");
    step_done(run, table.name);

    // A failed image has ended the run already.
    if (!write_images(run)) return 0;
    return reset_and_wait(run);
}
