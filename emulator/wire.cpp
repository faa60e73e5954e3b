#include "emulator/wire.h"

#include <algorithm>

#include "link/hdlc.h"

namespace emu {

namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint8_t kEscape = 0x7D;
// Room most requests fit in, taken when a frame begins, so that it grows once at most.
constexpr std::size_t kUsualFrame = 1024;

}  // namespace

// Plain bytes are taken in runs; flags, escapes and escaped bytes one at a time.
void FrameReader::feed(const std::uint8_t* data, std::size_t count, std::vector<Frame>* frames) {
    for (std::size_t i = 0; i < count;) {
        if (!escape_) {
            if (const std::size_t run = hdlc_plain_run(data + i, count - i)) {
                append(data + i, run);
                i += run;
                continue;
            }
        }
        std::uint8_t b = data[i++];
        if (b == kFlag) {
            if (!current_.bytes.empty() || current_.overflow)
                frames->push_back(std::move(current_));
            current_ = Frame{};
            escape_ = false;
            continue;
        }
        if (b == kEscape && !escape_) {
            escape_ = true;
            continue;
        }
        if (escape_) {
            b ^= 0x20;
            escape_ = false;
        }
        append(&b, 1);
    }
}

void FrameReader::append(const std::uint8_t* data, std::size_t count) {
    Bytes& bytes = current_.bytes;
    if (bytes.capacity() == 0) bytes.reserve(kUsualFrame);
    const std::size_t room = kMaxFrame - std::min(kMaxFrame, bytes.size());
    bytes.insert(bytes.end(), data, data + std::min(room, count));
    if (count > room) current_.overflow = true;
}

bool frame_crc_ok(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < 3) return false;
    return crc16_check(frame.data(), static_cast<int>(frame.size())) == 1;
}

std::vector<std::uint8_t> encode_answer(const std::vector<std::uint8_t>& packet, bool leading_flag,
                                        bool corrupt_crc) {
    std::vector<std::uint8_t> frame;
    frame.resize(encode_answer_into(packet, leading_flag, corrupt_crc, frame));
    return frame;
}

std::size_t encode_answer_into(const std::vector<std::uint8_t>& packet, bool leading_flag,
                               bool corrupt_crc, std::vector<std::uint8_t>& frame) {
    const int length = static_cast<int>(packet.size());
    std::uint16_t crc = crc16_bits(packet.data(), length * 8);
    if (corrupt_crc) crc ^= 0x5A5A;
    if (frame.size() < hdlc_frame_limit(length)) frame.resize(hdlc_frame_limit(length));
    return hdlc_encode_to(packet.data(), length, crc, leading_flag, frame.data());
}

}  // namespace emu
