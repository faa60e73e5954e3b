// The download log, download.dbg: the program's only record of what went wrong.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kLogName = "download.dbg";
// The log of the run before, kept beside download.dbg.
constexpr const char* kPreviousLogName = "download.previous.dbg";

// Opens download.dbg in the user's documents folder, else in the current folder, truncating it.
// An existing download.dbg in the folder tried is first renamed to download.previous.dbg.
// Returns false when neither could be opened; messages are then dropped.
bool log_open();

// Tests point the log at a folder of their own, in place of the documents folder; an empty string
// restores the documents folder.
void set_log_folder_override(const std::string& folder);

// Closes (and so flushes) the log. Nothing is written after it.
void log_close();

// Full path of the log file that log_open opened, empty when none is open.
std::string log_path();

// Appends one printf-style message, whole, under a lock, and flushes it to the file. Nothing is
// added: no time stamp, no prefix, no line end.
void log_write(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs count bytes as "0x%x " items (each with its trailing blank), with no line end.
void log_bytes(const std::uint8_t* bytes, int count);
