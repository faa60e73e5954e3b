#include "base/shared_state.h"

#include <atomic>
#include <mutex>

namespace {

// The folder is read by a run's worker and by the dialog's start-up check on another thread.
std::mutex names_mutex;
std::string program_folder_value;
std::atomic<int> device_state_value{0};

}  // namespace

std::string program_folder() {
    std::lock_guard lock(names_mutex);
    return program_folder_value;
}

void set_program_folder(const std::string& folder) {
    std::lock_guard lock(names_mutex);
    program_folder_value = folder;
}

int device_state() {
    return device_state_value;
}

void set_device_state(int state) {
    device_state_value = state;
}

void reset_shared_state() {
    {
        std::lock_guard lock(names_mutex);
        program_folder_value.clear();
    }
    device_state_value = 0;
}
