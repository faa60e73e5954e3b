// fwupgrade --list: the modems of the package that are plugged in, one line each, with their USB
// location, serial, mode, port and, in normal mode, build version. Each modem is asked only the
// mode probe and, in normal mode, its version; nothing on it changes.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"

class Session;

// One modem as the listing found it.
struct ListedModem {
    std::string location;   // empty when unknown
    std::string serial;     // empty when it has none
    int mode = 0;           // a mode probe result (probe/mode_probe.h)
    int port = -1;          // the port probed; -1 when none of its ports can be opened
    std::string port_name;  // "1 /dev/ttyUSB0", "COM7"
    std::string version;    // read in normal mode only; empty when unreadable
    // Set for a modem that was not asked anything: the mode its port's identifier shows.
    std::string unasked_mode;
};

// The modem as its ports show it, without asking it anything.
ListedModem unasked_modem(const PackageModem& modem);

// Finds the modems of the package whose settings.ini is settings and probes each in turn on a line
// of its own; nothing when the ports cannot be listed.
std::optional<std::vector<ListedModem>> probe_package_modems(const std::string& settings);

// The listing as a table with a header line, or the sentence saying no modem is plugged in (with
// the identifiers settings lists).
std::string modem_table(const std::vector<ListedModem>& modems, const std::string& settings);
void print_modem_table(std::FILE* out, const std::vector<ListedModem>& modems,
                       const std::string& settings);

// The mode as the listing names it: "normal", "boot downloader", "flash programmer", "no answer".
const char* listed_mode_name(int mode);
// The port as the system names it: its device node ("/dev/ttyUSB0") or "COM7".
std::string port_path(int number);

// Prints the listing to out, or to err why there is none; 0 when the ports could be looked at, 1
// otherwise. With a document stream, the listing is also printed there as a JSON document (nothing
// when there is no listing).
int run_list(const Session& session, std::FILE* out, std::FILE* err, std::FILE* document = nullptr);
