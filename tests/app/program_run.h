// Runs the fwupgrade program the way a user does: a copy of it in a folder of its own beside a
// sample firmware package, started as a child process (inheriting the test's mocked device
// database), its output and its download.dbg collected afterwards.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace apptest {

// A temporary folder holding a copy of the program and a sample package made by the package tool.
// The folder is removed when the object goes.
class PackageDir {
  public:
    // settings: key=value pairs for section [id] of settings.ini.
    explicit PackageDir(const std::vector<std::string>& settings);
    ~PackageDir();
    PackageDir(const PackageDir&) = delete;
    PackageDir& operator=(const PackageDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    // Removes a file or a whole tree of the package.
    void remove(const std::string& relative) const;
    // Writes a file of the package, replacing it.
    void write(const std::string& relative, const std::string& content) const;
    // Contents of a file of the package, empty when missing.
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Writes SHA256SUMS as --seal does. Not done by default: many tests change the package after
    // it is made, and a sealed package would refuse each change.
    void seal() const;
    // The program's log of its last run (it goes to this folder).
    std::string log() const { return read("download.dbg"); }

  private:
    std::string path_;
};

// A temporary folder holding only a copy of the program, as an installed program lies in a
// folder of its own: no settings.ini, no firmware beside it. The folder is removed when the
// object goes.
class ProgramDir {
  public:
    ProgramDir();
    ~ProgramDir();
    ProgramDir(const ProgramDir&) = delete;
    ProgramDir& operator=(const ProgramDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }
    // The program's log of its last run (it goes to this folder).
    std::string log() const;

  private:
    std::string path_;
};

struct RunOptions {
    std::vector<std::string> args = {"run"};
    int time_divisor = 10;  // FWUP_TIME_DIVISOR of the program
    bool terminal = false;  // standard error on a pseudo-terminal instead of a file
    std::chrono::milliseconds timeout{90000};
    // When given, looked at while the program runs: once it holds, the program gets
    // interrupt_signal.
    std::function<bool()> interrupt_when;
    int interrupt_signal = SIGINT;
    // Changes to the program's environment: "NAME=value" sets NAME, "NAME" alone removes it.
    std::vector<std::string> environment;
    // Standard output and error go to a pipe whose reading end is already closed (out and err of
    // the result stay empty).
    bool closed_pipe = false;
};

struct RunResult {
    bool exited = false;  // false: killed at the time-out, or ended by a signal
    int exit_status = -1;
    int end_signal = 0;  // the signal that ended the program, 0 when it exited or timed out
    std::string out;     // standard output
    std::string err;     // standard error (what the terminal received, with terminal)
};

RunResult run_program(const PackageDir& package, const RunOptions& options = {});
// The same for the program copy in folder: it is started there, its output and its log go there.
RunResult run_program_in(const std::string& folder, const RunOptions& options = {});
RunResult run_program(const ProgramDir& program, const RunOptions& options = {});

// Standard output of a windowless run that succeeded with its log in folder: the box, then the
// line that names the log.
inline std::string success_output(const std::string& folder) {
    return "Download ok\nLog: " + folder + "/download.dbg\n";
}

// Contents of a host file, empty when missing.
std::string read_text(const std::string& path);

// How often needle occurs in haystack.
int count_of(const std::string& haystack, const std::string& needle);

// Contents of a host file as bytes; empty when missing.
std::vector<unsigned char> file_bytes(const std::string& path);

}  // namespace apptest
