// The logs of the starts before this one, kept beside download.dbg under the time each began.
#pragma once

#include <string>

// Renames download.dbg in folder (empty: the current folder; else ending in a separator) after
// the time its start began, then removes the oldest dated logs until kKeptLogs - 1 remain, to
// leave room for the new download.dbg. Only names of the dated pattern are counted or removed.
void keep_earlier_logs(const std::string& folder);
