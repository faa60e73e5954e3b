// The present USB serial ports and USB disk drives, read from the platform's device database.
// Enumeration never opens a device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "discovery/instance_id.h"

// Serial ports with a USB interface above them, in the database's enumeration order; nothing when
// the database cannot be read.
std::optional<std::vector<UsbPortRecord>> enumerate_usb_ports();

// Whole disks (not partitions) with a USB device above them, in enumeration order; nothing when
// the database cannot be read.
std::optional<std::vector<UsbDiskRecord>> enumerate_usb_disks();
