#include "dload/dload_commands.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/log_sink.h"
#include "dload/dload_wire.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"

namespace {

// The boot downloader's fixed security code, sent with UNLOCK.
constexpr std::uint8_t kUnlockCode[] = {0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xD4, 0x61, 0xF0};

enum Failure { kSendFailed = 1, kCrcFailed, kAnswerFailed };

// One attempt of a DLOAD command: exchange, then decode and CRC-test the answer.
// judge(decoded) says whether the decoded answer is the one the command waits for. The receive
// buffer is the operation's own and is not cleared here: an attempt that reads nothing is judged
// on what the earlier attempts left in it. So the answer is decoded in a copy: decoding the kept
// bytes again in place would judge other bytes than the device sent. A frame must carry a packet
// of at least its command byte: the bare CRC of an empty packet is no answer.
template <class Judge>
int dload_attempt(DeviceLine& line, const std::uint8_t* request, int length,
                  std::vector<std::uint8_t>& received, Judge&& judge) {
    if (!apply_dl_cmd(line, request, length, received.data(), kReceiveBuffer,
                      crc16_bits(request, length * 8))) {
        return kSendFailed;
    }
    std::vector<std::uint8_t> copy(received);
    std::uint8_t* answer = locate_answer(copy.data());
    const int decoded = check_buf(answer, kReceiveBuffer - 1, line.log());
    if (decoded < 3 || !crc16_check(answer, decoded)) return kCrcFailed;
    return judge(answer) ? 0 : kAnswerFailed;
}

}  // namespace

int dl_nop(DeviceLine& line) {
    static const std::uint8_t request[] = {kDloadNop};
    std::vector<std::uint8_t> received(kReceiveBuffer);
    const int failure = run_attempts(line, [&] {
        return dload_attempt(
            line, request, sizeof request, received,
            [&](const std::uint8_t* answer) { return check_ack(answer, line.log()) == 1; });
    });
    switch (failure) {
        case 0:
            line.log().write("Open in DLoad mode\n");
            return 1;
        case kSendFailed:
            line.log().write("dl nop: send cmd error! \n");
            break;
        case kCrcFailed:
            line.log().write("dl nop: check crc error! \n");
            break;
        default:
            line.log().write("dl nop: check ack error! \n");
            break;
    }
    return 0;
}

int send_dload_request(DeviceLine& line) {
    // The parameter request; the boot downloader's answer layout is not used, only that it is a
    // valid packet other than NAK.
    static const std::uint8_t request[] = {kDloadParameters};
    std::vector<std::uint8_t> received(kReceiveBuffer);
    const int failure = run_attempts(line, [&] {
        return dload_attempt(line, request, sizeof request, received,
                             [](const std::uint8_t* answer) { return answer[0] != kDloadNak; });
    });
    switch (failure) {
        case 0:
            line.log().write("Send DLoad request ok\n");
            return 1;
        case kSendFailed:
            line.log().write("Send DLoad request error\n");
            break;
        case kCrcFailed:
            line.log().write("Send DLoad request: check crc error\n");
            break;
        default:
            line.log().write("Send DLoad request: recv bad command error\n");
            break;
    }
    return 0;
}

int send_dload_unlock(DeviceLine& line) {
    std::uint8_t request[1 + sizeof kUnlockCode] = {kDloadUnlock};
    std::memcpy(request + 1, kUnlockCode, sizeof kUnlockCode);
    std::vector<std::uint8_t> received(kReceiveBuffer);
    const int failure = run_attempts(line, [&] {
        return dload_attempt(
            line, request, sizeof request, received,
            [&](const std::uint8_t* answer) { return check_ack(answer, line.log()) == 1; });
    });
    switch (failure) {
        case 0:
            return 1;
        case kSendFailed:
            line.log().write("Send DLoad unlock: send command error\n");
            break;
        case kCrcFailed:
            line.log().write("Send DLoad unlock: check crc error\n");
            break;
        default:
            line.log().write("Send DLoad unlock: check dl ack error\n");
            break;
    }
    return 0;
}
