// Port numbers name device nodes. Discovery registers each serial device node it sees; a node gets
// the lowest free number >= 1 the first time and keeps it while the process runs.
#pragma once

#include <string>

// The number of the node, registering it when it is new.
int port_table_register(const std::string& device_node);

// The device node that number names; false when the table does not hold the number.
bool port_table_lookup(int number, std::string* device_node);
