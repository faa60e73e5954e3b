// The emulated modem: normal firmware (DIAG with its file system), boot downloader (DLOAD) and
// flash programmer (streaming download), each played on the master side of a pseudo-terminal.
//
// The device runs on a thread of its own between start() and stop(). It leaves and comes back
// whenever the real device would re-enumerate: after the switch to download mode, after GO and
// after the final reset. Tests inspect what the device holds through the accessors below; all of
// them may be called from any thread while the device runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/port_provider.h"

namespace emu {

// How a fault changes the device's behaviour for one matching request.
enum class FaultKind {
    Drop,        // the request is lost: no answer, nothing done
    Lost,        // the request is carried out but its answer is lost on the way
    Delay,       // the answer goes out after delay_ms (default: past the 500 ms read time-out)
    Split,       // the answer goes out in two writes, delay_ms apart
    BadCrc,      // the answer's CRC is corrupted (the request is carried out)
    Nak,         // DLOAD: NAK with code instead of the answer, nothing done
    DiagError,   // DIAG: the 0x13 error answer instead of the answer, nothing done
    LogBefore,   // streaming: a programmer log message 0x0E, then (delay_ms later) the answer
    LogInstead,  // streaming: a programmer log message 0x0E instead of the answer, nothing done
    HangUp,      // the line goes dead instead of the answer: the device leaves and, after the
                 // return delay, comes back in the same mode on a new node (see Fault::back)
    EfsError,    // DIAG 0x4B 0x13: the operation fails with errno code, nothing done
};

struct Fault {
    FaultKind kind = FaultKind::Drop;
    Mode mode = Mode::Diag;
    int command = -1;      // first request byte it applies to; -1: any command
    int efs_command = -1;  // for DIAG 0x4B 0x13 requests, the file-system code; -1: any
    int nth = 1;           // the first matching request it applies to, counting from 1
    int times = 1;         // how many matching requests from the nth on; 0: every one from there
    double probability = 1.0;  // chance that an eligible request is hit (drawn from Options::seed)
    int delay_ms = -1;  // Delay, Split, LogBefore: product milliseconds (scaled); -1: default
    int code = 0;       // Nak: the 16-bit NAK code; EfsError: the errno value (default EIO)
    // HangUp, as when the device is pulled out: the mode it comes back in (nothing: the mode it
    // left), after delay_ms (-1: the return delay), or only at Emulator::replug() when it stays
    // away.
    std::optional<Mode> back;
    bool stays_away = false;

    // Parses "kind:mode:cmd[:key=value...]", for example "drop:diag:0x4b:efs=2:nth=3",
    // "nak:dload:0x0f:code=7:times=0", "delay:stream:0x07:nth=2:ms=900",
    // "efs:diag:0x4b:efs=5:code=28", "lose:diag:0x3a". kinds: drop (request lost, nothing done)
    // lose (request carried out, answer lost) delay split badcrc nak diagerr logbefore loginstead
    // hangup efs; modes: diag dload stream; cmd: a number or "any"; keys: efs nth times every(=1)
    // p ms code, and for hangup back=MODE and stay ("hangup:stream:0x07:nth=9:back=dload:stay").
    // Returns nothing and fills error when the text is not a fault.
    static std::optional<Fault> parse(const std::string& text, std::string* error = nullptr);
};

// The fields of the streaming hello answer that the tool reads. The tool reads that answer
// without undoing escapes, so a length or count byte of 0x7D or 0x7E shifts what follows, as it
// would with a real device.
struct HelloParams {
    int flash_id_length = 8;  // L, 0..255
    int sector_count = 4;     // N
    std::uint8_t feature_bits = 0x09;
};

struct Options {
    Mode start_mode = Mode::Diag;
    // Host folder loaded into the device's file system at start (files, folders, symbolic links);
    // empty: an empty file system that holds "/home".
    std::string efs_root;
    std::uint64_t efs_capacity = 64u << 20;  // bytes of file contents the file system can hold
    std::string build_version = "FW 1.0.0 B001";
    std::string new_build_version = "FW 1.0.1 B002";  // after a firmware download and reset
    bool answer_flag = false;        // DLOAD and streaming answers open with a 0x7E flag
    int return_delay_ms = 2000;      // time away between modes, product milliseconds (scaled)
    bool single_pty = false;         // one pseudo-terminal for the whole run; never leaves
    bool return_after_reset = true;  // comes back in DIAG mode after the final reset; without,
                                     // it stays away until Emulator::replug(), and returns after
                                     // later resets
    bool cooked_line = false;        // leave a fresh pseudo-terminal at the kernel's defaults, so
                                     // a client must set the line up itself (built-in provider)
    std::vector<std::uint8_t> partition_table;  // the table the device holds
    // The status the flash programmer answers every partition table with, whatever the table;
    // nothing: it judges the table. With 2 (not recognized) or 3 (erase failed) nothing is stored.
    std::optional<int> partition_status;
    // The image type whose open the flash programmer refuses as write protected (status 4),
    // opening nothing; -1: none.
    int write_protected_type = -1;
    HelloParams hello;
    std::string transcript;  // file receiving one line per request and answer; empty: none
    std::vector<Fault> faults;
    std::uint32_t seed = 1;            // for faults with a probability
    PortProvider* provider = nullptr;  // nullptr: a fresh pseudo-terminal per mode
    // With a provider of its own: the bytes the device wrote to endpoint that no client has read
    // yet (-1: unknown). Before leaving, the device waits for its last answer to be read, since a
    // pseudo-terminal drops unread bytes when it goes; without this it waits a fixed 200 ms.
    std::function<int(const Endpoint&)> unread;
    // Called on the device's thread with every CRC-valid request before the device acts on it:
    // a test can change what the host is about to read at a known point of its run.
    std::function<void(Mode mode, const std::vector<std::uint8_t>& request)> on_request;
};

struct Change {
    enum class Kind { Arrived, Left };
    Kind kind = Kind::Arrived;
    Mode mode = Mode::Diag;
    std::string device_node;
    bool after_reset = false;  // arrival after the final reset of a firmware download
};

enum class EfsType { None, File, Directory, Link };

// What the flash programmer recorded for one image type.
struct FlashImage {
    std::vector<std::uint8_t> header;  // payload of the open multi-image request
    std::vector<std::uint8_t> data;    // stream-write data at its offsets
    bool closed = false;
};

class Emulator {
  public:
    explicit Emulator(Options options);
    ~Emulator();  // stops
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Lets the device appear in its start mode. False (with error()) when the file system could
    // not be loaded (that happens in the constructor, so the efs_put functions work before start)
    // or the first pseudo-terminal cannot be made.
    bool start();
    void stop();
    std::string error() const;

    std::string device_node() const;  // empty while the device is away
    Mode mode() const;                // the current mode, or the next one while away
    bool present() const;
    // Waits at most timeout for the device to be present in mode.
    bool wait_for(Mode mode, std::chrono::milliseconds timeout) const;
    // True once the device came back after its final reset (or, when it does not come back, once
    // it left after the reset).
    bool finished() const;
    bool wait_finished(std::chrono::milliseconds timeout) const;

    // Called on the device's thread at every arrival and departure. Set it before start().
    void on_change(std::function<void(const Change&)> callback);
    // Plugs back in a device that stays away (a hang-up fault with stay, or a final reset without
    // return_after_reset): it arrives at once in the mode it is to come back in, after a hang-up
    // started afresh (no file open, a new boot downloader or programmer). Nothing happens to a
    // device that is not staying away.
    void replug();
    // Waits at most timeout for the device to be away until replugged.
    bool wait_unplugged(std::chrono::milliseconds timeout) const;
    void add_fault(const Fault& fault);
    void clear_faults();

    // File system.
    EfsType efs_type(const std::string& path) const;
    std::optional<std::vector<std::uint8_t>> efs_file(const std::string& path) const;
    std::optional<std::string> efs_link_target(const std::string& path) const;
    std::vector<std::string> efs_list(const std::string& dir) const;  // names in listing order
    bool efs_put_file(const std::string& path, const std::vector<std::uint8_t>& data);
    bool efs_put_dir(const std::string& path);
    bool efs_put_link(const std::string& path, const std::string& target);
    int efs_open_handles() const;

    // Boot downloader RAM and GO.
    std::vector<std::uint8_t> ram(std::uint32_t address, std::size_t length) const;  // 0 unwritten
    std::optional<std::uint32_t> go_address() const;

    // Flash programmer.
    std::optional<FlashImage> flash_image(int type) const;
    std::optional<std::vector<std::uint8_t>> partition_received() const;
    std::string build_version() const;  // what the 0x7C answer carries now

    // Requests seen (CRC-valid frames only) with this first byte, and for DIAG 0x4B 0x13 requests
    // this file-system code (-1: any).
    int request_count(Mode mode, int command, int efs_command = -1) const;
    // Requests seen in any mode, whatever their first byte.
    int requests_received() const;
    // CRC-invalid frames received.
    int bad_frames() const;

    // Writes the file system under dir (links as symbolic links).
    bool dump_efs(const std::string& dir) const;
    // Writes image-<type>.bin, header-<type>.bin, partition.bin, programmer-ram.bin and
    // programmer.txt ("start 0x........\ngo 0x........\n") under dir.
    bool dump_flash(const std::string& dir) const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The text of one mode as used in faults, transcripts and change lines: "diag", "dload", "stream".
const char* mode_name(Mode mode);

}  // namespace emu
