// Stands in for the USB bus of a Windows machine under wine, which has no devices of its own:
// devices of the classes the program searches ("PORTS", "DiskDrive") with the instance identifiers
// and friendly names a real modem would have, and the device-change broadcast Windows sends to
// every top-level window.
#pragma once

#include <string>
#include <vector>

// Adds a present device of the class; false (with the error printed) when it cannot be made.
bool add_fake_device(const char* class_name, const std::string& instance_id,
                     const std::string& friendly_name);

// Removes the present devices of the class whose identifier is instance_id ("*": every one).
void remove_fake_devices(const char* class_name, const std::string& instance_id);

// The identifiers of the present devices of the class.
std::vector<std::string> list_fake_devices(const char* class_name);

// WM_DEVICECHANGE with DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE to every top-level window.
void broadcast_device_change(bool arrival);
