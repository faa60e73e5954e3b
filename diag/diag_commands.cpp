#include "diag/diag_commands.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"
#include "link/port_diagnosis.h"
#include "link/serial_port.h"

namespace {

// DIAG command codes outside the file system.
constexpr std::uint8_t kVersionCommand = 0x00;
constexpr std::uint8_t kSwitchToDownload = 0x3A;
constexpr std::uint8_t kBuildVersion = 0x7C;

// DIAG error answers: the device did not take the request.
constexpr std::uint8_t kBadCommand = 0x13;
constexpr std::uint8_t kBadParameters = 0x14;
constexpr std::uint8_t kBadLength = 0x15;
constexpr std::uint8_t kBadMode = 0x18;

enum Failure { kSendFailed = 1, kCrcFailed, kBadCommandAnswer, kEmptyText };

// The build version answer carries its text from this byte on, up to a NUL.
constexpr int kVersionTextOffset = 12;

// One-byte DIAG request, decoded and judged: 0 or the kind of failure. The buffer is kept across
// the operation's attempts, so an attempt that reads nothing is judged on the bytes an earlier one
// read; they are decoded in a copy, since decoding them again in place would judge other bytes.
// An answer is a packet of at least its command byte that echoes the request's code: a frame
// without a packet, or the answer to another request, is not the device taking this one.
int exchange_diag_byte(DeviceLine& line, std::uint8_t code, std::vector<std::uint8_t>& received) {
    const std::uint8_t request[1] = {code};
    if (!apply_diag_cmd(line, request, 1, received.data(), kReceiveBuffer,
                        crc16_bits(request, 8))) {
        return kSendFailed;
    }
    std::vector<std::uint8_t> decoded(received);
    const int length = check_buf(decoded.data(), kReceiveBuffer, line.log());
    if (length < 3 || !crc16_check(decoded.data(), length)) return kCrcFailed;
    if (decoded[0] != code) return kBadCommandAnswer;
    return 0;
}

// A DIAG error answer (bad command, parameters, length or mode) carries the code, then the refused
// request. *text gets the packet's bytes without its CRC when received holds one.
bool diag_error_packet(const std::vector<std::uint8_t>& received, std::string* text, LogSink& log) {
    std::vector<std::uint8_t> decoded(received);
    const int length = check_buf(decoded.data(), kReceiveBuffer, log);
    if (length < 3 || !crc16_check(decoded.data(), length)) return false;
    const std::uint8_t code = decoded[0];
    if (code != kBadCommand && code != kBadParameters && code != kBadLength && code != kBadMode)
        return false;
    text->clear();
    char item[8];
    for (int i = 0; i < length - 2; ++i) {
        std::snprintf(item, sizeof item, "%s0x%02x", i ? " " : "", decoded[i]);
        *text += item;
    }
    return true;
}

}  // namespace

int get_ver(DeviceLine& line) {
    std::vector<std::uint8_t> received(kReceiveBuffer);
    const int failure =
        run_attempts(line, [&] { return exchange_diag_byte(line, kVersionCommand, received); });
    switch (failure) {
        case 0:
            line.log().write("Open in DIAG mode\n");
            return 1;
        case kSendFailed:
            line.log().write("get ver: send cmd error! \n");
            break;
        case kCrcFailed:
            line.log().write("get ver: check crc error! \n");
            break;
        default:
            line.log().write("get ver: recv bad cmd error! \n");
            break;
    }
    return 0;
}

const char* retry_get_build_ver(DeviceLine& line) {
    std::vector<std::uint8_t> received(kReceiveBuffer);
    const std::uint8_t request[1] = {kBuildVersion};
    const int failure = run_attempts(line, [&] {
        // Cleared before every read, so the text cannot run on into what an earlier, longer answer
        // left behind; the zeros end it where the received bytes end.
        std::fill(received.begin(), received.end(), 0);
        if (!apply_diag_cmd(line, request, 1, received.data(), kReceiveBuffer,
                            crc16_bits(request, 8))) {
            return static_cast<int>(kSendFailed);
        }
        // The answer is read raw, neither decoded nor CRC-tested, but it must echo the request's
        // code: the text of another answer is no version. An answer without a NUL is cut at the
        // end of the receive buffer or of the version text, whichever comes first.
        const char* text = reinterpret_cast<const char*>(received.data() + kVersionTextOffset);
        const std::size_t room = std::min<std::size_t>(sizeof line.version_text - 1,
                                                       kReceiveBuffer - kVersionTextOffset);
        const std::size_t length = strnlen(text, room);
        if (length == 0) return static_cast<int>(kEmptyText);
        if (received[0] != kBuildVersion) return static_cast<int>(kBadCommandAnswer);
        std::memcpy(line.version_text, text, length);
        line.version_text[length] = '\0';
        return 0;
    });
    if (failure == 0) return line.version_text;
    if (failure == kSendFailed) {
        line.log().write("retry_get_build_ver: send cmd error! \n");
    } else if (failure == kBadCommandAnswer) {
        line.log().write("retry_get_build_ver: recv bad cmd error! \n");
    } else {
        line.log().write("retry_get_build_ver: get length error! \n");
    }
    return nullptr;
}

int switch_dl_mode(DeviceLine& line, std::string* refusal) {
    std::vector<std::uint8_t> received(kReceiveBuffer);
    int refused = 0;  // attempts answered, each with a whole error packet
    std::string error_packet;
    const int failure = run_attempts(line, [&] {
        const int result = exchange_diag_byte(line, kSwitchToDownload, received);
        // An attempt that read nothing is judged on an earlier answer's bytes: it is a lost
        // answer, not the device saying no again.
        const bool answered = !line.records.unanswered;
        if (result == kBadCommandAnswer && answered &&
            diag_error_packet(received, &error_packet, line.log()))
            ++refused;
        return result;
    });
    if (refusal) *refusal = refused == kAttempts ? error_packet : std::string();
    switch (failure) {
        case 0:
            line.log().write("Switch to DLoad mode and close port \n");
            line.port->Close();
            return 1;
        case kSendFailed:
            line.log().write("switch dl mode: send cmd error! \n");
            break;
        case kCrcFailed:
            line.log().write("switch dl mode: check crc error! \n");
            break;
        default:
            line.log().write("switch dl mode: recv bad cmd error! \n");
            break;
    }
    return 0;
}
