#include "emulator/wire.h"

#include "link/hdlc.h"

namespace emu {

void FrameReader::feed(const std::uint8_t* data, std::size_t count, std::vector<Frame>* frames) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t b = data[i];
        if (b == 0x7E) {
            if (!current_.bytes.empty() || current_.overflow)
                frames->push_back(std::move(current_));
            current_ = Frame{};
            escape_ = false;
            continue;
        }
        if (b == 0x7D && !escape_) {
            escape_ = true;
            continue;
        }
        if (escape_) {
            b ^= 0x20;
            escape_ = false;
        }
        if (current_.bytes.size() < kMaxFrame) {
            current_.bytes.push_back(b);
        } else {
            current_.overflow = true;
        }
    }
}

bool frame_crc_ok(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < 3) return false;
    return crc16_check(frame.data(), static_cast<int>(frame.size())) == 1;
}

std::vector<std::uint8_t> encode_answer(const std::vector<std::uint8_t>& packet, bool leading_flag,
                                        bool corrupt_crc) {
    std::uint16_t crc = crc16_bits(packet.data(), static_cast<int>(packet.size()) * 8);
    if (corrupt_crc) crc ^= 0x5A5A;
    return hdlc_encode(packet.data(), static_cast<int>(packet.size()), crc, leading_flag);
}

}  // namespace emu
