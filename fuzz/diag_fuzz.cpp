// The DIAG commands outside the file system against any answer bytes: no read past a buffer, and
// no success unless the device answered with a frame whose CRC checks and whose command byte
// echoes the request's (the build version, read raw, only needs the echo).
#include <cstring>

#include "diag/diag_commands.h"
#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"

namespace {

constexpr std::size_t kBuffer = 20000;
constexpr std::size_t kVersionTextAt = 12;

bool framed_echo(const Bytes& request, const Bytes& buffer) {
    const Bytes frame = reference_decode(buffer, 0, kBuffer);
    return frame.size() >= 3 && reference_crc_good(frame) && frame[0] == request.at(0);
}

bool version_text(const Bytes& request, const Bytes& buffer) {
    return buffer.size() > kVersionTextAt && buffer[0] == request.at(0) &&
           buffer[kVersionTextAt] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    FuzzDevice device(data + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {
            const bool ok = get_ver(device.line()) == 1;
            FUZZ_CHECK(!ok ||
                       every_request_answered(device.port(), Buffer::kPerOperation, framed_echo));
            break;
        }
        case 1: {
            const char* text = retry_get_build_ver(device.line());
            FUZZ_CHECK(!text || (std::strlen(text) > 0 && std::strlen(text) < 128));
            FUZZ_CHECK(!text ||
                       every_request_answered(device.port(), Buffer::kPerAttempt, version_text));
            break;
        }
        default: {
            const bool ok = switch_dl_mode(device.line()) == 1;
            FUZZ_CHECK(!ok ||
                       every_request_answered(device.port(), Buffer::kPerOperation, framed_echo));
            FUZZ_CHECK(ok != device.port().IsOpen());
            break;
        }
    }
    return 0;
}
