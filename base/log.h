// The download log, download.dbg: the program's only record of what went wrong.
//
// The functions below act on program_log(), the sink of the program's own run; a run on a device
// of its own logs through that device's sink (log_sink.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/log_sink.h"

constexpr const char* kLogName = "download.dbg";
// How many logs a folder keeps: download.dbg, the newest, and the logs of the starts before it,
// each named after the time its start began, such as download-20261209-183012.dbg (local time;
// a second start within the same second adds "-1", "-2", ... before ".dbg").
constexpr int kKeptLogs = 10;

// Opens download.dbg in the user's documents folder, else in the current folder, as a new file.
// An existing download.dbg in the folder tried is first renamed after the time its start began,
// and the oldest of the dated logs are removed so that kKeptLogs remain; other files are left
// alone. Returns false when neither folder could take the log; messages are then dropped and
// log_notice says why.
bool log_open();

// Empty while a log is open; after a log_open that failed, "No log can be written: " and each
// folder tried with the reason it refused, for the user to see at the start of the run.
std::string log_notice();

// Tests point every log at a folder of their own, in place of the documents folder; an empty
// string restores the documents folder.
void set_log_folder_override(const std::string& folder);

// The folders log_open tries, in its order, each with its trailing separator: the documents
// folder (or the tests' folder) when one is known, then the current folder ("" when it cannot be
// told). Files that go beside the log look for their folder here.
std::vector<std::string> log_folders();

// Closes (and so flushes) the log. Nothing is written after it.
void log_close();

// Full path of the log file that log_open opened, empty when none is open.
std::string log_path();

// Appends one printf-style message, whole, under a lock, and flushes it to the file. Nothing is
// added: no time stamp, no prefix, no line end.
void log_write(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs count bytes as "0x%x " items (each with its trailing blank), with no line end.
void log_bytes(const std::uint8_t* bytes, int count);
