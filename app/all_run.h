// fwupgrade run --all: every modem of the package that is plugged in, upgraded at once.
//
// Each modem gets a session of its own (its line, its device-return state, its worker) bound to
// its USB location from the start, and a log of its own, download-<location>.dbg beside
// download.dbg; download.dbg then holds the run's summary. A modem that fails, stops answering or
// is pulled out ends its own run only. The package is checked once, before any modem is asked
// anything. Ctrl-C stops them all, and the end says for each modem where it was left.
#pragma once

#include <functional>
#include <string>

class Session;

// The option of run that takes every modem.
constexpr const char* kAllOption = "--all";

// The command that starts one modem's run again after a stop: run --device with its location.
using AgainCommand = std::function<std::string(const std::string& device)>;

// Runs the upgrade on every modem of the package of program (the session main made: its package
// folder and its log, download.dbg). Progress goes to standard error; the end table to standard
// output, or, with json, to standard error while standard output gets the run's document. Returns
// the exit status: 0 when every modem succeeded, the interrupt's status when stopped, 1 otherwise
// (none plugged in, a refused package, any modem not upgraded).
int run_all(Session& program, const AgainCommand& again, bool json);
