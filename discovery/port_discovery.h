// Finds the device's serial port by matching instance identifiers against settings prefixes.
#pragma once

#include <string>

// Port types: the settings keys diag%d, download%d, savedownload%d.
constexpr int PORT_DIAG = 0;
constexpr int PORT_DOWNLOAD = 1;
constexpr int PORT_SAVEDOWNLOAD = 2;

// The COM number last found, -1 when the last search found nothing.
extern int port_number;
// The identifier prefix that searches match against.
extern std::string my_com_name;

// Closes the serial port, then searches the port type's identifiers: the COM number or -1.
int find_port(int type);
// The first non-negative result of find_port(0), find_port(1), find_port(2), or -1.
int find_any_port();
// 1 when a present port's instance identifier begins with the identifier (or, for an empty
// identifier, with my_com_name).
int find_port_by_id(const char* identifier);
int get_port_number();
