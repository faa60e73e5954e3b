// Frame on the wire: [0x7E] escaped packet, escaped CRC low byte, escaped CRC high byte, 0x7E.
// Only the flag 0x7E and the escape 0x7D are escaped (0x7D, then the byte XOR 0x20); the CRC
// covers the unescaped packet bytes alone.
#include "link/hdlc.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr std::uint8_t kEscape = 0x7D;
constexpr std::uint8_t kEscapeXor = 0x20;
constexpr std::uint16_t kGoodResidue = 0x0F47;

// The frame check sequence table of RFC 1662 (polynomial 0x8408, bit-reflected 0x1021).
constexpr std::uint16_t kFcsTable[256] = {
    0x0000, 0x1189, 0x2312, 0x329b, 0x4624, 0x57ad, 0x6536, 0x74bf, 0x8c48, 0x9dc1, 0xaf5a, 0xbed3,
    0xca6c, 0xdbe5, 0xe97e, 0xf8f7, 0x1081, 0x0108, 0x3393, 0x221a, 0x56a5, 0x472c, 0x75b7, 0x643e,
    0x9cc9, 0x8d40, 0xbfdb, 0xae52, 0xdaed, 0xcb64, 0xf9ff, 0xe876, 0x2102, 0x308b, 0x0210, 0x1399,
    0x6726, 0x76af, 0x4434, 0x55bd, 0xad4a, 0xbcc3, 0x8e58, 0x9fd1, 0xeb6e, 0xfae7, 0xc87c, 0xd9f5,
    0x3183, 0x200a, 0x1291, 0x0318, 0x77a7, 0x662e, 0x54b5, 0x453c, 0xbdcb, 0xac42, 0x9ed9, 0x8f50,
    0xfbef, 0xea66, 0xd8fd, 0xc974, 0x4204, 0x538d, 0x6116, 0x709f, 0x0420, 0x15a9, 0x2732, 0x36bb,
    0xce4c, 0xdfc5, 0xed5e, 0xfcd7, 0x8868, 0x99e1, 0xab7a, 0xbaf3, 0x5285, 0x430c, 0x7197, 0x601e,
    0x14a1, 0x0528, 0x37b3, 0x263a, 0xdecd, 0xcf44, 0xfddf, 0xec56, 0x98e9, 0x8960, 0xbbfb, 0xaa72,
    0x6306, 0x728f, 0x4014, 0x519d, 0x2522, 0x34ab, 0x0630, 0x17b9, 0xef4e, 0xfec7, 0xcc5c, 0xddd5,
    0xa96a, 0xb8e3, 0x8a78, 0x9bf1, 0x7387, 0x620e, 0x5095, 0x411c, 0x35a3, 0x242a, 0x16b1, 0x0738,
    0xffcf, 0xee46, 0xdcdd, 0xcd54, 0xb9eb, 0xa862, 0x9af9, 0x8b70, 0x8408, 0x9581, 0xa71a, 0xb693,
    0xc22c, 0xd3a5, 0xe13e, 0xf0b7, 0x0840, 0x19c9, 0x2b52, 0x3adb, 0x4e64, 0x5fed, 0x6d76, 0x7cff,
    0x9489, 0x8500, 0xb79b, 0xa612, 0xd2ad, 0xc324, 0xf1bf, 0xe036, 0x18c1, 0x0948, 0x3bd3, 0x2a5a,
    0x5ee5, 0x4f6c, 0x7df7, 0x6c7e, 0xa50a, 0xb483, 0x8618, 0x9791, 0xe32e, 0xf2a7, 0xc03c, 0xd1b5,
    0x2942, 0x38cb, 0x0a50, 0x1bd9, 0x6f66, 0x7eef, 0x4c74, 0x5dfd, 0xb58b, 0xa402, 0x9699, 0x8710,
    0xf3af, 0xe226, 0xd0bd, 0xc134, 0x39c3, 0x284a, 0x1ad1, 0x0b58, 0x7fe7, 0x6e6e, 0x5cf5, 0x4d7c,
    0xc60c, 0xd785, 0xe51e, 0xf497, 0x8028, 0x91a1, 0xa33a, 0xb2b3, 0x4a44, 0x5bcd, 0x6956, 0x78df,
    0x0c60, 0x1de9, 0x2f72, 0x3efb, 0xd68d, 0xc704, 0xf59f, 0xe416, 0x90a9, 0x8120, 0xb3bb, 0xa232,
    0x5ac5, 0x4b4c, 0x79d7, 0x685e, 0x1ce1, 0x0d68, 0x3ff3, 0x2e7a, 0xe70e, 0xf687, 0xc41c, 0xd595,
    0xa12a, 0xb0a3, 0x8238, 0x93b1, 0x6b46, 0x7acf, 0x4854, 0x59dd, 0x2d62, 0x3ceb, 0x0e70, 0x1ff9,
    0xf78f, 0xe606, 0xd49d, 0xc514, 0xb1ab, 0xa022, 0x92b9, 0x8330, 0x7bc7, 0x6a4e, 0x58d5, 0x495c,
    0x3de3, 0x2c6a, 0x1ef1, 0x0f78,
};

// Slicing by eight: kSlices[k][b] is the register after byte b followed by k zero bytes, so eight
// bytes take eight independent look-ups instead of a chain of eight dependent ones.
using SliceTable = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr SliceTable make_slices() {
    SliceTable t{};
    for (int b = 0; b < 256; ++b)
        t[0][b] = kFcsTable[b];
    for (int k = 1; k < 8; ++k)
        for (int b = 0; b < 256; ++b)
            t[k][b] =
                static_cast<std::uint16_t>((t[k - 1][b] >> 8) ^ kFcsTable[t[k - 1][b] & 0xFF]);
    return t;
}

constexpr SliceTable kSlices = make_slices();

std::uint16_t crc16_bytes(const std::uint8_t* data, std::size_t count) {
    // The register is kept in a full-width integer: no narrowing after every step.
    std::uint32_t reg = 0xFFFF;
    for (; count >= 8; count -= 8, data += 8) {
        const std::uint32_t low = reg ^ (data[0] | (static_cast<std::uint32_t>(data[1]) << 8));
        reg = kSlices[7][low & 0xFF] ^ kSlices[6][low >> 8] ^ kSlices[5][data[2]] ^
              kSlices[4][data[3]] ^ kSlices[3][data[4]] ^ kSlices[2][data[5]] ^
              kSlices[1][data[6]] ^ kSlices[0][data[7]];
    }
    for (; count > 0; --count)
        reg = (reg >> 8) ^ kFcsTable[(reg ^ *data++) & 0xFF];
    return static_cast<std::uint16_t>(~reg);
}

bool needs_escape(std::uint8_t byte) {
    return byte == kFrameFlag || byte == kEscape;
}

// Eight bytes at a time: a byte of the word is a flag or an escape where the word XORed with eight
// copies of that value has a zero byte. The mask's lowest set bit marks the first such byte
// exactly (a borrow can only mark bytes above it), as the bytes are loaded first to last into the
// word's low to high bits.
static_assert(std::endian::native == std::endian::little);

std::uint64_t reserved_mask(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    const std::uint64_t flags = word ^ (kOnes * kFrameFlag);
    const std::uint64_t escapes = word ^ (kOnes * kEscape);
    return (((flags - kOnes) & ~flags) | ((escapes - kOnes) & ~escapes)) & kHighs;
}

// Writes byte, escaped when it must be, at out; returns the position after it.
std::uint8_t* put_escaped(std::uint8_t* out, std::uint8_t byte) {
    if (needs_escape(byte)) {
        *out++ = kEscape;
        *out++ = static_cast<std::uint8_t>(byte ^ kEscapeXor);
    } else {
        *out++ = byte;
    }
    return out;
}

}  // namespace

std::uint16_t crc16_bits(const std::uint8_t* data, int bits) {
    if (!data || bits <= 0) return crc16_bytes(nullptr, 0);
    return crc16_bytes(data, static_cast<std::size_t>(bits / 8));
}

int crc16_check(const std::uint8_t* data, int count) {
    if (!data || count <= 0) return 0;
    return crc16_bytes(data, static_cast<std::size_t>(count)) == kGoodResidue ? 1 : 0;
}

std::size_t hdlc_plain_run(const std::uint8_t* data, std::size_t count) {
    std::size_t n = 0;
    for (std::uint64_t word; n + 8 <= count; n += 8) {
        std::memcpy(&word, data + n, 8);
        if (const std::uint64_t mask = reserved_mask(word))
            return n + static_cast<std::size_t>(std::countr_zero(mask)) / 8;
    }
    while (n < count && !needs_escape(data[n]))
        ++n;
    return n;
}

// Runs of plain bytes are copied whole; only flags and escapes are handled one by one.
std::size_t hdlc_encode_to(const std::uint8_t* packet, int length, std::uint16_t crc,
                           bool leading_flag, std::uint8_t* out) {
    if (!packet || length < 0) length = 0;
    std::uint8_t* const start = out;
    if (leading_flag) *out++ = kFrameFlag;
    const std::size_t count = static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < count;) {
        const std::size_t run = hdlc_plain_run(packet + i, count - i);
        std::memcpy(out, packet + i, run);
        out += run;
        i += run;
        if (i < count) out = put_escaped(out, packet[i++]);
    }
    out = put_escaped(out, static_cast<std::uint8_t>(crc & 0xFF));
    out = put_escaped(out, static_cast<std::uint8_t>(crc >> 8));
    *out++ = kFrameFlag;
    return static_cast<std::size_t>(out - start);
}

std::vector<std::uint8_t> hdlc_encode(const std::uint8_t* packet, int length, std::uint16_t crc,
                                      bool leading_flag) {
    std::vector<std::uint8_t> frame(hdlc_frame_limit(packet ? length : 0));
    frame.resize(hdlc_encode_to(packet, length, crc, leading_flag, frame.data()));
    return frame;
}

// Decodes in place: the write position never passes the read position, so no scratch copy is
// needed. An escape followed by anything but 0x5E or 0x5D, or in the last position, is kept as a
// literal 0x7D and the byte after it is decoded on its own. Runs of plain bytes move whole (and
// not at all before the first flag or escape).
int check_buf(std::uint8_t* buffer, int capacity, LogSink& log) {
    int in = 0;
    int out = 0;
    while (buffer && in < capacity) {
        const int run = static_cast<int>(hdlc_plain_run(buffer + in, capacity - in));
        if (out != in) std::memmove(buffer + out, buffer + in, static_cast<std::size_t>(run));
        in += run;
        out += run;
        if (in == capacity) break;
        const std::uint8_t byte = buffer[in];
        if (byte == kFrameFlag) return out;
        if (in + 1 < capacity) {
            const std::uint8_t next = buffer[in + 1];
            if (next == (kFrameFlag ^ kEscapeXor) || next == (kEscape ^ kEscapeXor)) {
                buffer[out++] = static_cast<std::uint8_t>(next ^ kEscapeXor);
                in += 2;
                continue;
            }
        }
        buffer[out++] = byte;
        ++in;
    }
    log.write("check buf: size %d overflow %d error! \n", out, capacity);
    return out;
}
