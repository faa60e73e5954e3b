// A device that answers from a script, for the answers the emulator does not give (a build
// version without its NUL, error answers carrying text, a line that dies between two reads).
// It plays the master side of a pseudo-terminal: every request frame read is answered with the
// next scripted reply, sent as raw bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A packet framed as the device sends it: escaped, CRC low then high, closing flag.
Bytes frame_answer(const Bytes& packet, bool leading_flag = false);
// The same frame with a CRC that no client accepts.
Bytes frame_bad_crc(const Bytes& packet);

struct Reply {
    Bytes bytes;           // sent as they are; empty: no answer
    bool hang_up = false;  // after the bytes have been read by the client, the line goes dead
};

class ScriptedDevice {
  public:
    ScriptedDevice();
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // The node a client opens, and its number in the port table.
    const std::string& node() const { return node_; }
    int port() const { return port_; }

    // Replies to the coming requests, in order; when they run out, `otherwise` answers every
    // further request.
    void script(std::vector<Reply> replies, Reply otherwise = {});
    // Request packets received so far, unescaped, without their CRC.
    std::vector<Bytes> requests() const;

  private:
    void run();
    void handle_frame(const Bytes& frame);
    bool wait_drained();

    int master_ = -1;
    int slave_ = -1;  // held open so the line stays up while the client reopens it
    std::string node_;
    int port_ = 0;
    int wake_[2] = {-1, -1};

    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    Reply otherwise_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};
