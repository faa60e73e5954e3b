// The frame decoder and the CRC check on any bytes: the decoder never reads or writes past the
// capacity it is given, decodes as the framing defines (checked against a decoder written apart),
// and the CRC check agrees with the bitwise definition; any packet framed and decoded comes back
// whole with a good CRC.
#include <cstring>
#include <memory>

#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"
#include "link/hdlc.h"

namespace {

void decode_within(const std::uint8_t* data, std::size_t size, std::size_t capacity) {
    // The buffer is exactly size bytes, so a read past it trips the address checks; the bytes
    // between capacity and size must stay untouched.
    auto buffer = std::make_unique<std::uint8_t[]>(size ? size : 1);
    std::memcpy(buffer.get(), data, size);
    const int n = check_buf(buffer.get(), static_cast<int>(capacity));
    FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) <= capacity);
    FUZZ_CHECK(std::memcmp(buffer.get() + capacity, data + capacity, size - capacity) == 0);
    const Bytes expected = reference_decode(Bytes(data, data + size), 0, capacity);
    FUZZ_CHECK(Bytes(buffer.get(), buffer.get() + n) == expected);
    FUZZ_CHECK((crc16_check(buffer.get(), n) == 1) == reference_crc_good(expected));
}

void round_trip(const std::uint8_t* data, std::size_t size, bool leading_flag) {
    const int length = static_cast<int>(size);
    const std::uint16_t crc = crc16_bits(data, length * 8);
    Bytes frame = hdlc_encode(data, length, crc, leading_flag);
    const std::size_t from = leading_flag ? 1 : 0;
    const int n = check_buf(frame.data() + from, static_cast<int>(frame.size() - from));
    FUZZ_CHECK(n == length + 2);
    FUZZ_CHECK(std::memcmp(frame.data() + from, data, size) == 0);
    FUZZ_CHECK(frame[from + size] == (crc & 0xFF) && frame[from + size + 1] == (crc >> 8));
    FUZZ_CHECK(crc16_check(frame.data() + from, n) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decode_within(data, size, size);
    if (size > 0) decode_within(data + 1, size - 1, data[0] % size);
    round_trip(data, size, size > 0 && (data[0] & 1));
    return 0;
}
