// The line as the device sees it: requests cut at flag bytes and unescaped, answers framed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

// Longest request kept; longer frames are dropped whole, as line noise.
constexpr std::size_t kMaxFrame = 8192;

// Cuts the bytes read from the line into frames. A frame ends at 0x7E; empty frames (two flags in
// a row, or the leading flag of a DLOAD or streaming request) are skipped.
class FrameReader {
  public:
    struct Frame {
        std::vector<std::uint8_t> bytes;  // packet and its two CRC bytes, unescaped
        bool overflow = false;            // longer than kMaxFrame: bytes holds its start only
    };
    void feed(const std::uint8_t* data, std::size_t count, std::vector<Frame>* frames);

  private:
    using Bytes = std::vector<std::uint8_t>;
    // Adds unescaped bytes to the frame being read, up to kMaxFrame.
    void append(const std::uint8_t* data, std::size_t count);

    Frame current_;
    bool escape_ = false;
};

// True when the frame holds a packet of at least one byte followed by its good CRC.
bool frame_crc_ok(const std::vector<std::uint8_t>& frame);

// The frame of an answer packet; corrupt_crc flips the CRC so that no client accepts it.
std::vector<std::uint8_t> encode_answer(const std::vector<std::uint8_t>& packet, bool leading_flag,
                                        bool corrupt_crc);
// The same, written to the start of frame, which is made larger when it is too short and never
// smaller; returns the frame's length. One buffer then serves every answer of a session.
std::size_t encode_answer_into(const std::vector<std::uint8_t>& packet, bool leading_flag,
                               bool corrupt_crc, std::vector<std::uint8_t>& frame);

}  // namespace emu
