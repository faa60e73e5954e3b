// The program's process-wide values, kept in one place so that one call puts them all back as the
// program starts with them. Plain values only: what owns a resource (the serial port, the log)
// lives with the code that uses it.
#pragma once

#include <string>

// The identifier prefix that port searches use until a settings value replaces it.
constexpr const char* kBuiltinPortPrefix = "USB\\VID_05C6&PID_9003&MI_00";

// The COM number the last port search found, -1 when it found nothing.
int port_number();
void set_port_number(int number);

// The identifier prefix that port searches match against.
std::string my_com_name();
void set_my_com_name(const std::string& prefix);

// Puts every value above back as the program starts with it. For tests, which share one process.
void reset_shared_state();
