#include "copy/copy_job.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/log_sink.h"
#include "base/sent_file.h"
#include "base/settings.h"
#include "diag/diag_commands.h"
#include "diag/efs.h"
#include "diag/efs_transfer.h"
#include "diag/efs_wire.h"
#include "diag/home_tree.h"
#include "diag/local_dir.h"
#include "link/attempts.h"
#include "probe/mode_probe.h"

namespace {

constexpr int kPasses = 10;
constexpr int kReopenCalls = 10;
constexpr int kReopenPauseMs = 100;
// A device directory is listed with sequence numbers 1 to 255; entries past that stay.
constexpr int kMaxListing = 255;
constexpr int kNameBuffer = 256;
constexpr const char* kDeviceHome = "/home";

// ---------------------------------------------------------------------------------------------
// Upload of one file, read back and compared.

int upload_file(DeviceLine& line, const std::string& local, const std::string& device,
                DialogHandle dialog, int* counter) {
    constexpr int kSizeDiffers = 1;
    constexpr int kCheckFailed = 2;
    // The create, the write or its close failed after their own attempts and logged why: the
    // device no longer takes the file, so there is nothing to try again.
    constexpr int kNotWritten = 3;
    const int failure = run_attempts(line, [&]() -> AttemptOutcome {
        // create_efs_file truncates what an earlier attempt left.
        EfsHandle handle = {};
        if (!create_efs_file(line, device.c_str(), handle)) return stop_now(kNotWritten);
        // An empty file is sent as such. The device file is closed whether or not the local one
        // could be sent: a handle left open stays taken on the device.
        std::uint32_t sent = 0;
        const int written = try_write_efs_file(line, local.c_str(), handle, dialog, counter, &sent);
        if (!close_efs_file(line, handle) || !written) return stop_now(kNotWritten);
        std::uint32_t size = 0;
        if (!query_efs_size(line, device.c_str(), &size) || size != sent) return kSizeDiffers;
        // Only a file that opened is closed: the handle of the write is gone already.
        if (!open_efs_file(line, device.c_str(), handle)) return kCheckFailed;
        const int checked = chk_efs_file(line, handle, local.c_str(), dialog, counter);
        if (!close_efs_file(line, handle) || !checked) return kCheckFailed;
        return 0;
    });
    switch (failure) {
        case 0:
            return 1;
        case kSizeDiffers:
            line.log().write("error: write_efs_file %s fail\n", device.c_str());
            return 0;
        case kCheckFailed:
            line.log().write("error: chk_file %s fail\n", device.c_str());
            return 0;
        default:
            return 0;
    }
}

int upload_tree(DeviceLine& line, TreeWalk& walk, const std::string& local,
                const std::string& device, DialogHandle dialog, int* counter) {
    std::vector<LocalEntry> entries;
    if (!list_local_folder(local, &entries)) return 1;
    for (const LocalEntry& entry : entries) {
        if (entry.system) continue;
        const std::string local_path = local_child(local, entry.name);
        const std::string device_path = device_child(device, entry.name);
        if (entry.kind == LocalKind::Folder) {
            std::string real;
            if (!follow("find_dir", walk, local_path, entry, &real, line.log())) continue;
            // A folder the device already has is kept; a new one costs a failing open first.
            EfsHandle handle = {};
            const int ready = open_efs_dir(line, device_path.c_str(), handle)
                                  ? close_efs_dir(line, handle)
                                  : create_efs_dir(line, device_path.c_str());
            if (!ready) return 0;
            progress_advance(dialog, counter, kFolderCost);
            walk.folders.push_back(real);
            const int done = upload_tree(line, walk, local_path, device_path, dialog, counter);
            walk.folders.pop_back();
            if (!done) return 0;
            continue;
        }
        // Link descriptions are only names; find_link turns them into links afterwards.
        if (describes_link(entry.name)) continue;
        std::string real;
        if (!follow("find_dir", walk, local_path, entry, &real, line.log())) continue;
        if (!upload_file(line, local_path, device_path, dialog, counter)) return 0;
        progress_advance(dialog, counter, kFileCost);
    }
    return 1;
}

int make_links(DeviceLine& line, TreeWalk& walk, const std::string& local,
               const std::string& device, DialogHandle dialog, int* counter) {
    std::vector<LocalEntry> entries;
    if (!list_local_folder(local, &entries)) return 1;
    for (const LocalEntry& entry : entries) {
        const std::string local_path = local_child(local, entry.name);
        if (entry.kind == LocalKind::Folder) {
            std::string real;
            if (!follow("find_link", walk, local_path, entry, &real, line.log())) continue;
            walk.folders.push_back(real);
            const int done = make_links(line, walk, local_path, device_child(device, entry.name),
                                        dialog, counter);
            walk.folders.pop_back();
            if (!done) return 0;
            continue;
        }
        std::string link_name;
        std::string target;
        if (!describes_link(entry.name) || !read_link_name(entry.name, &link_name, &target))
            continue;
        const std::string link_path = device_child(device, link_name);
        if (!create_efs_symlink(line, target.c_str(), link_path.c_str())) {
            line.log().write("error: create_efs_symlink %s fail\n", target.c_str());
            return 0;
        }
        progress_advance(dialog, counter, kLinkCost);
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The job.

// The device may have gone quiet after a failure: probe its port until it answers DIAG again.
void reopen_port(DeviceLine& line, bool with_pauses) {
    for (int call = 1; call <= kReopenCalls; ++call) {
        if (call > 1 && with_pauses) pause_ms(line, kReopenPauseMs);
        if (open_port(line, line.port_number) == MODE_DIAG) return;
    }
}

bool reset_requested(const std::string& folder) {
    char value[10] = {};
    get_profile_string("id", "reset", "0", value, sizeof(value), settings_path(folder));
    // Read as an integer: optional blanks and sign, then the leading digits; anything else is 0.
    return std::strtol(value, nullptr, 10) == 1;
}

enum class Failed { Nothing, DelDir, FindDir, FindLink, CopyIso };

// Removes one entry of a listing; folders are emptied first. Every removal the device refuses
// fails the whole emptying, since what stays would be mixed into the new tree.
int remove_entry(DeviceLine& line, const std::string& child, int type) {
    switch (type) {
        case 1:  // directory
            line.log().write("read_efs_dir name = %s\n", child.c_str());
            if (!del_dir(line, child.c_str())) return 0;
            if (!unlink_efs_dir(line, child.c_str())) {
                line.log().write("Error: unlink_efs_dir name = %s\n", child.c_str());
                return 0;
            }
            return 1;
        case 0:  // file
            if (!unlink_efs_file(line, child.c_str())) {
                line.log().write("Error: unlink_efs_file name = %s\n", child.c_str());
                return 0;
            }
            return 1;
        case 2:  // symbolic link
            line.log().write("read_efs_symlink name = %s\n", child.c_str());
            if (!unlink_efs_file(line, child.c_str())) {
                line.log().write("Error: unlink_efs_symlink name = %s\n", child.c_str());
                return 0;
            }
            return 1;
        default:
            return 1;
    }
}

// Walks the open listing of device_folder and removes what it names; 1 once the end is reached.
int empty_listing(DeviceLine& line, const char* device_folder, const std::uint8_t* handle) {
    char name[kNameBuffer];
    for (int sequence = 1; sequence <= kMaxListing; ++sequence) {
        int type = -1;
        const int read = read_efs_dir(line, handle, sequence, name, &type, kNameBuffer);
        if (read == -1) return 1;
        if (read == 0) {
            line.log().write("error: read_efs_dir fail\n");
            return 0;
        }
        // Names come from the device: "." or ".." or a name with a separator would lead the
        // removal outside the folder being emptied.
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            std::strchr(name, '/') != nullptr) {
            line.log().write("del_dir: skip name %s\n", name);
            continue;
        }
        if (!remove_entry(line, device_child(device_folder, name), type)) return 0;
    }
    return 1;
}

}  // namespace

int del_dir(DeviceLine& line, const char* device_folder) {
    EfsHandle handle = {};
    if (!open_efs_dir(line, device_folder, handle)) return 0;
    // The listing is closed whatever happened in it: a handle left open stays taken on the device.
    const int emptied = empty_listing(line, device_folder, handle);
    const int closed = close_efs_dir(line, handle);
    return emptied && closed;
}

int find_dir(DeviceLine& line, const char* local_folder, const char* device_folder,
             DialogHandle dialog, int* counter) {
    if (!local_folder || !device_folder) return 0;
    TreeWalk walk;
    if (!start_walk(local_folder, &walk)) return 1;  // nothing there to list
    return upload_tree(line, walk, local_folder, device_folder, dialog, counter);
}

int find_link(DeviceLine& line, const char* local_folder, const char* device_folder,
              DialogHandle dialog, int* counter) {
    if (!local_folder || !device_folder) return 0;
    TreeWalk walk;
    if (!start_walk(local_folder, &walk)) return 1;
    return make_links(line, walk, local_folder, device_folder, dialog, counter);
}

namespace {

// One pass after its hello: "/home" emptied and filled again, then image.iso. Failed::Nothing when
// everything was copied and read back.
Failed copy_pass(DeviceLine& line, const std::string& folder, DialogHandle dialog, int* counter) {
    const std::string local_home = folder + "home";
    if (local_path_exists(local_home)) {
        // "/home" itself stays: it is emptied, then filled again.
        if (!del_dir(line, kDeviceHome)) return Failed::DelDir;
        progress_advance(dialog, counter, kEmptyHomeCost);
        if (!find_dir(line, local_home.c_str(), kDeviceHome, dialog, counter))
            return Failed::FindDir;
        if (!find_link(line, local_home.c_str(), kDeviceHome, dialog, counter))
            return Failed::FindLink;
    }
    // The bar runs on through the image: a run's progress never goes back.
    set_status(dialog, "Copying iso file...");
    return copy_iso(line, folder.c_str(), dialog, counter) ? Failed::Nothing : Failed::CopyIso;
}

// What the last pass failed at: a line in the log, and the run's reason unless it is stopping.
void report_last_pass(DeviceLine& line, Failed failed) {
    const char* why = nullptr;
    switch (failed) {
        case Failed::DelDir:
            line.log().write("error: del_dir(/home) fail\n");
            why = "the device's /home could not be emptied in %d passes";
            break;
        case Failed::FindDir:
            line.log().write("error: find_dir(/home) fail\n");
            why = "the home folder could not be copied to the device in %d passes";
            break;
        case Failed::FindLink:
            line.log().write("error: find_link(/home) fail\n");
            why = "the links of the home folder could not be made on the device in %d passes";
            break;
        default:
            line.log().write("Error: copy iso file fail.\n");
            why = "image.iso could not be copied to the device and read back in %d passes";
            break;
    }
    if (!stop_requested(line)) line.log().tell_reason(why, kPasses);
}

// The passes of the job: 1 once one of them has copied everything.
int copy_passes(DeviceLine& line, const std::string& folder, DialogHandle dialog, int* counter) {
    for (int pass = 1;; ++pass) {
        if (!send_efs_hello(line)) {
            line.log().write("error: send_efs_hello fail\n");
            if (!stop_requested(line))
                line.log().tell_reason("the device's file system did not answer");
            return 0;
        }
        progress_advance(dialog, counter, kHelloCost);

        if (reset_requested(folder) && !unlink_efs_file(line, "/router.conf")) {
            line.log().write("error: unlink_efs_file(/router.conf) fail\n");
            if (!stop_requested(line))
                line.log().tell_reason("the device did not remove /router.conf");
            return 0;
        }

        const Failed failed = copy_pass(line, folder, dialog, counter);
        if (failed == Failed::Nothing) return 1;
        // A package file that changed since its check stays changed: another pass would only
        // empty "/home" again. Its reason is told already.
        if (!changed_package_file(line.log()).empty()) return 0;
        if (pass == kPasses) {
            report_last_pass(line, failed);
            return 0;
        }
        // Every new pass starts again with the hello and empties "/home" again.
        reopen_port(line, failed != Failed::DelDir);
    }
}

}  // namespace

int copy_file_to_device(DeviceLine& line, const std::string& package_folder, DialogHandle dialog,
                        int* counter) {
    const int copied = copy_passes(line, package_folder, dialog, counter);
    // Handles that repeated opens left on the device, named by answers that came late.
    close_stray_handles(line);
    return copied;
}
