// A serial port played from a script, in memory: every request written is recorded, and each is
// answered with the next scripted reply. A read with nothing waiting waits the read time-out on
// the port's clock and gives nothing, so on a FakeClock no test waits for real.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "link/serial_port.h"

using Bytes = std::vector<std::uint8_t>;

// A packet framed as the device sends it: escaped, CRC low then high, closing flag.
Bytes frame(const Bytes& packet, bool leading_flag = false);
// The same frame with a CRC that no client accepts.
Bytes frame_bad_crc(const Bytes& packet);

// What the device does after one request.
struct Reply {
    std::vector<Bytes> pieces;  // each arrives for a read of its own; none: silence
    int raise = 0;              // non-zero: once the pieces are read, the next read raises this
    bool hang_up = false;       // once the pieces are read, the line is dead
};

// The answers tests give, in protocol terms.
Reply answer(const Bytes& packet, bool leading_flag = false);  // one framed packet
Reply raw(const Bytes& bytes);                                 // bytes as they are: garbage too
Reply silence();
// The frame arrives in two reads: its first `at` bytes, then the rest.
Reply split(const Bytes& frame, std::size_t at);
Reply raise_error(int error);
// The pieces of before arrive, then the line goes dead.
Reply hang_up(Reply before = silence());
// The same reply to count requests in a row.
std::vector<Reply> repeated(int count, const Reply& reply);

class ScriptedPort : public CSerialPort {
  public:
    using CSerialPort::CSerialPort;
    static constexpr int kReadTimeoutMs = 500;

    // Replies to the coming requests, in order; when they run out, `otherwise` answers every
    // further request (silence unless given).
    void script(std::vector<Reply> replies, Reply otherwise = silence());
    // Every request answered by what the function makes of its packet.
    void answer_with(std::function<Reply(const Bytes& request)> device);
    // Open raises this error (0: it opens).
    void refuse_open(int error) { open_error_ = error; }

    // Request packets received, unescaped, without their CRC.
    const std::vector<Bytes>& requests() const { return requests_; }
    // Each write's bytes as they went to the line.
    const std::vector<Bytes>& writes() const { return writes_; }
    // Frames whose CRC did not check: a fault of the sender.
    int bad_frames() const { return bad_frames_; }
    int flushes() const { return flushes_; }
    const std::vector<int>& opened() const { return opened_; }

    void Open(int port) override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    int Write(const void* data, int count) override;
    int Read(void* buffer, int capacity) override;
    void Flush() override;

  private:
    void check_usable() const;
    void take_frame();
    Reply next_reply(const Bytes& request);

    bool open_ = false;
    bool dead_ = false;
    int open_error_ = 0;
    std::deque<Reply> replies_;
    Reply otherwise_ = silence();
    std::function<Reply(const Bytes&)> device_;
    std::deque<Bytes> waiting_;  // pieces on the line, each for a read of its own
    int pending_raise_ = 0;
    bool pending_hang_up_ = false;
    Bytes frame_;
    bool escaped_ = false;
    std::vector<Bytes> requests_;
    std::vector<Bytes> writes_;
    int bad_frames_ = 0;
    int flushes_ = 0;
    std::vector<int> opened_;
};
