// Why a port could not be opened, in words a user can act on: the device node, the system's text
// and, for the usual causes (no permission, another program holding the port, a device that has
// gone), what to do. One file per platform implements it.
#pragma once

#include <cstdint>
#include <string>

// error is the code a CSerialException carried.
std::string explain_port_failure(int port, std::uint32_t error);
