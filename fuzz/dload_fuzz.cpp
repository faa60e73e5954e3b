// The boot downloader's commands and the programmer upload against any answer bytes: no read past
// a buffer, and no success unless each request got a frame (after an optional leading flag) with a
// packet and a good CRC that is the answer the command waits for: an ACK for NOP, UNLOCK and each
// WRITE, anything but a NAK for the parameter request, any packet for GO.
#include <string>

#include "dload/dload_commands.h"
#include "dload/hex_upload.h"
#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"

namespace {

constexpr std::uint8_t kAck = 0x02;
constexpr std::uint8_t kNak = 0x03;
constexpr std::uint8_t kWrite = 0x0F;

// Two data records, the start address and the end: two WRITEs, then GO.
constexpr const char kProgrammer[] =
    ":020000042000DA\n:0400000001020304F2\n:0400040005060708DE\n:0400000520000002D5\n"
    ":00000001FF\n";

const std::string& programmer_file() {
    static const std::string path =
        fuzz_file(Bytes(kProgrammer, kProgrammer + sizeof kProgrammer - 1));
    return path;
}

// The decoded packet of the answer in a buffer of capacity bytes, CRC checked; empty when none.
Bytes answer_packet(const Bytes& buffer) {
    const std::size_t from = buffer[0] == 0x7E ? 1 : 0;
    Bytes frame = reference_decode(buffer, from, buffer.size() - 1);
    if (frame.size() < 3 || !reference_crc_good(frame)) return {};
    frame.resize(frame.size() - 2);
    return frame;
}

bool ack(const Bytes&, const Bytes& buffer) {
    const Bytes packet = answer_packet(buffer);
    return !packet.empty() && packet[0] == kAck;
}

bool not_nak(const Bytes&, const Bytes& buffer) {
    const Bytes packet = answer_packet(buffer);
    return !packet.empty() && packet[0] != kNak;
}

bool upload_answer(const Bytes& request, const Bytes& buffer) {
    return request.at(0) == kWrite ? ack(request, buffer) : !answer_packet(buffer).empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string& programmer = programmer_file();
    FuzzDevice device(data + 1, size - 1);
    const auto answered = [&](Buffer buffer, const Judge& judge) {
        return every_request_answered(device.port(), buffer, judge);
    };
    switch (data[0] % 4) {
        case 0:
            FUZZ_CHECK(!dl_nop(device.line()) || answered(Buffer::kPerOperation, ack));
            break;
        case 1:
            FUZZ_CHECK(!send_dload_unlock(device.line()) || answered(Buffer::kPerOperation, ack));
            break;
        case 2:
            FUZZ_CHECK(!send_dload_request(device.line()) ||
                       answered(Buffer::kPerOperation, not_nak));
            break;
        default: {
            int counter = 0;
            const bool ok =
                retry_start_go(device.line(), programmer.c_str(), nullptr, &counter) == 1;
            FUZZ_CHECK(!ok || (device.port().requests().size() >= 3 &&
                               answered(Buffer::kPerAttempt, upload_answer)));
            break;
        }
    }
    return 0;
}
