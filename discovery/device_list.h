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

// A present disk drive: its instance identifier, and where its USB device is plugged in (as for a
// port; empty when unknown).
struct DiskDevice {
    std::string instance_id;
    std::string location;
};

// Every present disk drive.
std::optional<std::vector<DiskDevice>> list_present_disks();
