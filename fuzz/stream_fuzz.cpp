// The flash programmer's streaming commands against any answer bytes: no read past a buffer, and
// no success unless each request got the answer code the command waits for (answers are read raw,
// after an optional leading flag), with the fields the command documents as success: the hello's
// feature bits where its own lengths put them, a status of success for the partition table and the
// image opening. A log message stands for the answer where the command says it may.
#include <string>

#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"
#include "stream/image_stream.h"
#include "stream/stream_commands.h"

namespace {

constexpr std::uint8_t kLogMessage = 0x0E;

// The answer's bytes from its code on.
Bytes answer_of(const Bytes& buffer) {
    return Bytes(buffer.begin() + (buffer[0] == 0x7E ? 1 : 0), buffer.end());
}

bool hello(const Bytes&, const Bytes& buffer) {
    const Bytes a = answer_of(buffer);
    if (a[0] != 0x02) return false;
    const std::size_t id = a[43];
    if (46 + id + 2 > a.size()) return false;
    const std::size_t sectors = a[46 + id] | (a[47 + id] << 8);
    const std::size_t features = 48 + id + 4 * sectors;
    return 4 * sectors <= 1024 && features < a.size() && a[features] == 0x09;
}

Judge code_is(std::uint8_t code, int status = -1, std::uint8_t or_code = 0xFF) {
    return [=](const Bytes&, const Bytes& buffer) {
        const Bytes a = answer_of(buffer);
        if (a[0] == or_code) return true;
        return a[0] == code && (status < 0 || a[1] <= status);
    };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const std::string payload = fuzz_file(Bytes(100, 0x5A));
    static const std::string image = fuzz_file(Bytes(300, 0x5A));  // one block
    FuzzDevice device(data + 1, size - 1);
    const auto answered = [&](Buffer buffer, const Judge& judge) {
        return every_request_answered(device.port(), buffer, judge);
    };
    const Buffer kept = Buffer::kPerOperation;
    switch (data[0] % 7) {
        case 0:
            FUZZ_CHECK(!send_dl_hello(device.line()) || answered(kept, hello));
            break;
        case 1:
            FUZZ_CHECK(!send_dl_security(device.line()) ||
                       answered(kept, code_is(0x18, -1, kLogMessage)));
            break;
        case 2:
            FUZZ_CHECK(!send_partition_table(device.line(), payload.c_str()) ||
                       answered(kept, code_is(0x1A, 1)));
            break;
        case 3:
            FUZZ_CHECK(!send_multi_image_open(device.line(), payload.c_str(), 5) ||
                       answered(kept, code_is(0x1C, 0)));
            break;
        case 4:
            FUZZ_CHECK(!send_dl_close_handle(device.line()) ||
                       answered(kept, code_is(0x16, -1, kLogMessage)));
            break;
        case 5:
            FUZZ_CHECK(!dl_reset(device.line()) || answered(kept, code_is(0x0C)));
            break;
        default: {
            int counter = 0;
            const bool ok = dl_dload_amss(device.line(), image.c_str(), nullptr, &counter) == 1;
            // The closing request after the image is judged by its own operation.
            FUZZ_CHECK(!ok ||
                       every_request_answered(device.port(), Buffer::kPerAttempt, code_is(0x08),
                                              [](const Bytes& r) { return r[0] == 0x07; }));
            break;
        }
    }
    return 0;
}
