// The present serial ports and disk drives as the searches see them, from the platform's device
// database: on Windows the device installation functions, on Linux udev. Listing never opens a
// device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"

// Every present serial port with its instance identifier and names. A port's name carries the
// number the serial port opens it by: "(COM<n>)".
std::optional<PortDeviceList> list_present_ports();

// The instance identifier of every present disk drive.
std::optional<std::vector<std::string>> list_present_disk_ids();
