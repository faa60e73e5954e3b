#include "base/shared_state.h"

#include <mutex>

namespace {

// The names are read by a run's worker and by the dialog's start-up check on another thread.
std::mutex names_mutex;
int port_number_value = -1;
std::string my_com_name_value = kBuiltinPortPrefix;

}  // namespace

int port_number() {
    std::lock_guard lock(names_mutex);
    return port_number_value;
}

void set_port_number(int number) {
    std::lock_guard lock(names_mutex);
    port_number_value = number;
}

std::string my_com_name() {
    std::lock_guard lock(names_mutex);
    return my_com_name_value;
}

void set_my_com_name(const std::string& prefix) {
    std::lock_guard lock(names_mutex);
    my_com_name_value = prefix;
}

void reset_shared_state() {
    {
        std::lock_guard lock(names_mutex);
        port_number_value = -1;
        my_com_name_value = kBuiltinPortPrefix;
    }
}
