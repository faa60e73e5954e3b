#include "link/port_table.h"

#include <mutex>
#include <vector>

namespace {

std::mutex table_mutex;
std::vector<std::string> nodes;  // port number n names nodes[n - 1]

}  // namespace

int port_table_register(const std::string& device_node) {
    std::lock_guard lock(table_mutex);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i] == device_node) return static_cast<int>(i + 1);
    }
    nodes.push_back(device_node);
    return static_cast<int>(nodes.size());
}

bool port_table_lookup(int number, std::string* device_node) {
    std::lock_guard lock(table_mutex);
    if (number < 1 || static_cast<std::size_t>(number) > nodes.size()) return false;
    if (device_node) *device_node = nodes[static_cast<std::size_t>(number) - 1];
    return true;
}
