// The line's ceiling: the fastest stop-and-wait exchange a pseudo-terminal allows, measured with a
// bare client and a bare peer that do nothing but move prepared frames. Whatever the product and
// the emulated modem add to an exchange shows as the distance to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Bytes = std::vector<std::uint8_t>;

// A frame as it goes on the line: optional leading flag, escaped packet and CRC, closing flag.
Bytes frame_of(const Bytes& packet, bool leading_flag);

// A pseudo-terminal set up as the product sets its port: raw, both ends non-blocking.
struct PtyPair {
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    int master = -1;
    int slave = -1;
    std::string slave_name;
};

// Answers every frame that arrives on fd with one prepared frame, on a thread of its own: a
// request whose first byte is the streaming close gets the close answer, any other the answer
// given. The product's streaming accepts these answers, so the peer also stands in for the flash
// programmer where only the product's own costs are wanted.
class BarePeer {
  public:
    BarePeer(int fd, Bytes answer_frame);
    ~BarePeer();
    BarePeer(const BarePeer&) = delete;
    BarePeer& operator=(const BarePeer&) = delete;

  private:
    void serve();

    int fd_;
    Bytes answer_;
    Bytes close_answer_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The bare client: writes a frame whole, then reads until the answer's closing flag.
class BareClient {
  public:
    explicit BareClient(int fd) : fd_(fd) {}
    void exchange(const Bytes& frame);

  private:
    void read_answer();

    int fd_;
    std::uint8_t buffer_[20000];
};

}  // namespace bench
