// The device side of the protocol fuzz targets: the fuzzer's bytes become the device's replies on
// the scripted port, every read is recorded, and an oracle written apart from the product judges
// whether the operation was ever given a well-formed answer.
#pragma once

#include "link/device_line.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/scripted_port.h"

// Input layout, repeated: a kind byte, then (except for silence) a 16-bit little-endian length and
// that many bytes. Kind bits 0-1: 0 raw bytes, 1 a packet framed with its good CRC, 2 the same with
// a leading flag, 3 silence; bit 2: the reply comes in two reads, split at the next byte's value;
// bit 3: raw bytes repeated past every receive buffer; bit 4: the port raises after the reply.
std::vector<Reply> replies_from(const std::uint8_t* data, std::size_t size);

// One read as the operation saw it: for the request it followed, the bytes it delivered.
struct ReadRecord {
    std::size_t request;  // index into requests()
    Bytes bytes;
    int capacity;
};

class FuzzPort : public ScriptedPort {
  public:
    using ScriptedPort::ScriptedPort;
    int Read(void* buffer, int capacity) override;
    const std::vector<ReadRecord>& reads() const { return reads_; }

  private:
    std::vector<ReadRecord> reads_;
};

// A device line on a scripted port and a fake clock for one run of one operation.
class FuzzDevice {
  public:
    FuzzDevice(const std::uint8_t* data, std::size_t size);
    ~FuzzDevice();
    FuzzDevice(const FuzzDevice&) = delete;
    FuzzDevice& operator=(const FuzzDevice&) = delete;
    FuzzPort& port() { return *port_; }
    DeviceLine& line() { return line_; }

  private:
    FakeClock clock_;
    FuzzPort* port_;
    DeviceLine line_;
};

// How an operation keeps its receive buffer: cleared before every attempt, or once for the whole
// operation (an attempt that reads nothing is then judged on what the earlier ones left).
enum class Buffer { kPerAttempt, kPerOperation };

// Whether this buffer, as the device's bytes left it, holds an answer the operation may accept
// for this request.
using Judge = std::function<bool(const Bytes& request, const Bytes& buffer)>;

// Replays the reads over a model of the operation's buffer and judges each; true when every
// request the operation sent (each distinct request once, only those `counts` takes when given)
// got at least one answer the judge accepts.
bool every_request_answered(const FuzzPort& port, Buffer buffer, const Judge& judge,
                            const std::function<bool(const Bytes&)>& counts = nullptr);

// The decoding and the CRC as the protocols define them, written apart from link/hdlc.cpp: bytes up
// to the first flag within capacity, 0x7D 0x5E and 0x7D 0x5D unescaped, any other 0x7D kept.
Bytes reference_decode(const Bytes& bytes, std::size_t from, std::size_t capacity);
// True when a decoded frame (packet and its two CRC bytes) carries a good CRC.
bool reference_crc_good(const Bytes& frame);

// A folder of the process's own that goes when it exits, and a new file in it holding content.
const std::string& fuzz_folder();
std::string fuzz_file(const Bytes& content);
