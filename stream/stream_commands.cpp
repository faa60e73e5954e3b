#include "stream/stream_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/log_sink.h"
#include "base/sent_file.h"
#include "link/attempts.h"
#include "link/exchange.h"
#include "link/hdlc.h"
#include "stream/log_message.h"
#include "stream/stream_wire.h"

namespace {

// Hello: magic text, protocol version 3, compatible version 2, feature bits 0x09.
constexpr const char kHelloMagic[] = "QCOM fast download protocol host";
constexpr int kHelloMagicLength = 32;
constexpr std::uint8_t kProtocolVersion = 3;
constexpr std::uint8_t kCompatibleVersion = 2;
constexpr std::uint8_t kFeatureBits = 0x09;
// Hello answer: the answer code, magic (32), versions (2), block size (4), flash base (4), flash
// id length L, flash id (L), window size (2), sector count N (2), N sector sizes (4 each),
// feature bits.
constexpr int kFlashIdLengthAt = 43;
constexpr int kSectorCountAfterId = 46;
constexpr int kSectorSizesAfterId = 48;
constexpr int kSectorTableLimit = 1024;  // bytes of sector sizes an answer may list

constexpr std::uint8_t kSecurityMode = 1;
constexpr std::uint8_t kOverrideOff = 0;

// Error answer: the code, a 32-bit error code, then the message; at most this much of it is kept.
constexpr int kErrorTextAt = 5;
constexpr std::size_t kErrorTextLimit = 127;

// Statuses of the partition table answer.
constexpr int kTableAccepted = 0;
constexpr int kTableDiffers = 1;
constexpr int kTableNotRecognized = 2;
constexpr int kTableEraseFailed = 3;

// Statuses of the open multi-image answer.
constexpr int kImageOpened = 0;
constexpr int kImagePayloadTooLong = 1;
constexpr int kImageNoPayloadExpected = 2;
constexpr int kImagePayloadRequired = 3;
constexpr int kImageWriteProtected = 4;

enum Failure {
    kSendFailed = 1,
    kCommandFailed,
    kSectorCountFailed,
    kFeatureBitsFailed,
    kErrorAnswer,
    kUnreadable  // a payload file that cannot be read: read_payload has told why
};

// The receive buffer of one operation: cleared when the operation starts and not between its
// attempts, so an attempt that reads nothing is judged on what an earlier attempt left behind.
struct Receive {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kReceiveBuffer);

    std::uint8_t* data() { return bytes.data(); }
    // The answer's command byte and what follows it; streaming answers are read raw.
    const std::uint8_t* answer() const { return locate_answer(bytes.data()); }
    // How many bytes from the answer's start the buffer holds.
    int room() const { return kReceiveBuffer - static_cast<int>(answer() - bytes.data()); }
};

int exchange(DeviceLine& line, const std::uint8_t* request, int length, Receive& received) {
    return apply_dl_cmd(line, request, length, received.data(), kReceiveBuffer,
                        crc16_bits(request, length * 8));
}

// Fills request + 2 with the first bytes of the file, at most kStreamPayloadLimit; -1 when it
// cannot be read.
// A file listed in the package's SHA256SUMS is judged whole before its bytes are sent.
int read_payload(const char* path, std::uint8_t* request, LogSink& log) {
    SentFile file(log);
    if (!file.open(path)) {
        log.tell_reason("cannot open %s: %s", path, std::strerror(errno));
        return -1;
    }
    const std::size_t count = file.read(request + 2, kStreamPayloadLimit);
    if (!file.failed()) file.judge_rest();
    // A changed file has told its reason.
    if (file.failed() && !file.changed())
        log.tell_reason("cannot read %s: %s", path, file.failure().c_str());
    return file.failed() ? -1 : static_cast<int>(count);
}

// The text of an error answer: 0x0D, a 32-bit error code, then the programmer's message up to
// a NUL or the CRC. A copy of the frame is decoded to find where the message ends; without a
// closing flag that cannot be told and the text stays empty. At most 127 characters are kept,
// anything unprintable shown as '?'.
std::string error_answer_text(const Receive& received, LogSink& log) {
    const std::uint8_t* begin = received.answer();
    const std::uint8_t* end = std::find(begin, begin + received.room(), kFrameFlag);
    if (end == begin + received.room()) return {};
    std::vector<std::uint8_t> copy(begin, end + 1);
    const int decoded = check_buf(copy.data(), static_cast<int>(copy.size()), log);
    const int text_end = std::min(decoded - 2, static_cast<int>(copy.size()));  // CRC excluded
    std::string text;
    for (int i = kErrorTextAt; i < text_end && text.size() < kErrorTextLimit && copy[i] != 0; ++i) {
        text += (copy[i] >= 0x20 && copy[i] < 0x7F) ? static_cast<char>(copy[i]) : '?';
    }
    return text;
}

// Only a table the programmer took lets the images follow: images written against a table it
// refused, or half erased, would land where the device does not look for them. 1 to go on.
int judge_table_status(int status, LogSink& log) {
    switch (status) {
        case kTableAccepted:
            log.write("Partition table accepted\n");
            return 1;
        case kTableDiffers:
            log.write("Partition table differs, override will be accepted\n");
            return 1;
        case kTableNotRecognized:
            log.write("Partition table format not recognized, will not accept override\n");
            return 0;
        case kTableEraseFailed:
            log.write("Partition table erase operation failed\n");
            return 0;
        default:
            log.write("Partition table: unknown status %d fail\n", status);
            return 0;
    }
}

// The programmer opens no image on any status but success: the writes that followed would all be
// refused. 1 to go on.
int judge_open_status(int status, LogSink& log) {
    switch (status) {
        case kImageOpened:
            log.write("Send multi-image open successful\n");
            return 1;
        case kImagePayloadTooLong:
            log.write("Send multi-image payload length exceeded faill\n");
            return 0;
        case kImageNoPayloadExpected:
            log.write("Send multi-image  no payload expected fail\n");
            return 0;
        case kImagePayloadRequired:
            log.write("Send multi-image payload required fail\n");
            return 0;
        case kImageWriteProtected:
            log.write("Send multi-image block 0 write protected fail\n");
            return 0;
        default:
            log.write("Send multi-image open: unknown status %d fail\n", status);
            return 0;
    }
}

}  // namespace

int send_dl_hello(DeviceLine& line) {
    std::uint8_t request[1 + kHelloMagicLength + 3] = {kStreamHello};
    std::memcpy(request + 1, kHelloMagic, kHelloMagicLength);
    std::uint8_t* after_magic = request + 1 + kHelloMagicLength;
    after_magic[0] = kProtocolVersion;
    after_magic[1] = kCompatibleVersion;
    after_magic[2] = kFeatureBits;

    Receive received;
    const int failure = run_attempts(line, [&] {
        if (!exchange(line, request, sizeof request, received))
            return static_cast<int>(kSendFailed);
        // Every offset is checked against the buffer first.
        const std::uint8_t* answer = received.answer();
        const int room = received.room();
        if (answer[0] != kStreamHelloAnswer) return static_cast<int>(kCommandFailed);
        const int id_length = answer[kFlashIdLengthAt];
        const int sectors_at = kSectorCountAfterId + id_length;
        if (sectors_at + 2 > room) return static_cast<int>(kSectorCountFailed);
        const int sectors = get_le16(answer + sectors_at);
        if (4 * sectors > kSectorTableLimit) return static_cast<int>(kSectorCountFailed);
        const int features_at = kSectorSizesAfterId + id_length + 4 * sectors;
        if (features_at >= room) return static_cast<int>(kFeatureBitsFailed);
        if (answer[features_at] != kFeatureBits) return static_cast<int>(kFeatureBitsFailed);
        return 0;
    });
    switch (failure) {
        case 0:
            line.log().write("Open in Stream Download mode\n");
            return 1;
        case kSendFailed:
            line.log().write("send dl hello: send cmd error! \n");
            break;
        case kCommandFailed:
            line.log().write("send dl hello: recv bad cmd error! \n");
            break;
        case kSectorCountFailed:
            line.log().write("send dl hello:recv bad number of sector error! \n");
            break;
        default:
            line.log().write("send dl hello: recv bad feature bits cmd error! \n");
            break;
    }
    return 0;
}

int send_dl_security(DeviceLine& line) {
    static const std::uint8_t request[] = {kStreamSecurity, kSecurityMode};
    Receive received;
    const int failure = run_attempts(line, [&] {
        if (!exchange(line, request, sizeof request, received))
            return static_cast<int>(kSendFailed);
        return received.answer()[0] == kStreamSecurityAnswer ? 0 : static_cast<int>(kCommandFailed);
    });
    if (failure == 0) return 1;
    // A programmer that only ever answers with a log message has taken the mode all the same.
    if (failure == kCommandFailed && received.answer()[0] == kLogMessage &&
        read_after_log_message(line, received.data(), kReceiveBuffer)) {
        return 1;
    }
    line.log().write("Send dl security fail\n");
    return 0;
}

int send_partition_table(DeviceLine& line, const char* path) {
    if (!path) return 0;
    std::uint8_t request[kStreamRequestSize] = {kStreamPartitionTable, kOverrideOff};
    Receive received;
    const int failure = run_attempts(line, [&]() -> AttemptOutcome {
        const int payload = read_payload(path, request, line.log());
        if (payload < 0) return stop_now(kUnreadable);
        if (!exchange(line, request, 2 + payload, received)) return kSendFailed;
        return received.answer()[0] == kStreamPartitionTableAnswer ? 0 : kCommandFailed;
    });
    switch (failure) {
        case 0:
            break;
        case kUnreadable:
            return 0;
        case kSendFailed:
            line.log().write("Fail to send partition table\n");
            return 0;
        default:
            line.log().write("Partition table response error\n");
            return 0;
    }
    return judge_table_status(received.answer()[1], line.log());
}

int send_multi_image_open(DeviceLine& line, const char* header_path, int image_type) {
    std::uint8_t request[kStreamRequestSize] = {kStreamOpenImage,
                                                static_cast<std::uint8_t>(image_type)};
    Receive received;
    const int failure = run_attempts(line, [&]() -> AttemptOutcome {
        const int payload = header_path ? read_payload(header_path, request, line.log()) : 0;
        if (payload < 0) return stop_now(kUnreadable);
        if (!exchange(line, request, 2 + payload, received)) return kSendFailed;
        return received.answer()[0] == kStreamOpenImageAnswer ? 0 : kCommandFailed;
    });
    if (failure == kUnreadable) return 0;
    if (failure != 0) {
        line.log().write("Send multi-image response error\n");
        return 0;
    }
    return judge_open_status(received.answer()[1], line.log());
}

int send_dl_close_handle(DeviceLine& line) {
    static const std::uint8_t request[] = {kStreamClose};
    Receive received;
    const int failure = run_attempts(line, [&] {
        if (!exchange(line, request, sizeof request, received))
            return static_cast<int>(kSendFailed);
        const std::uint8_t command = received.answer()[0];
        return command == kStreamCloseAnswer || command == kLogMessage
                   ? 0
                   : static_cast<int>(kCommandFailed);
    });
    switch (failure) {
        case 0:
            break;
        case kSendFailed:
            line.log().write("send dl close handle: send dl cmd error! \n");
            return 0;
        default:
            line.log().write("Close handle fail\n");
            return 0;
    }
    if (received.answer()[0] == kStreamCloseAnswer) {
        line.log().write("Close handle ok\n");
        return 1;
    }
    line.log().write("Close handle fail, It's already close\n");
    if (!read_after_log_message(line, received.data(), kReceiveBuffer)) {
        line.log().write("send dl close handle: send dl cmd error! \n");
        return 0;
    }
    return 1;
}

int dl_reset(DeviceLine& line) {
    static const std::uint8_t request[] = {kStreamReset};
    Receive received;
    const int failure = run_attempts(line, [&] {
        if (!exchange(line, request, sizeof request, received))
            return static_cast<int>(kSendFailed);
        const std::uint8_t command = received.answer()[0];
        if (command == kStreamResetAnswer) return 0;
        return command == kStreamError ? static_cast<int>(kErrorAnswer)
                                       : static_cast<int>(kCommandFailed);
    });
    switch (failure) {
        case 0:
            line.log().write("Download reset ok, finish download\n");
            return 1;
        case kSendFailed:
            line.log().write("dl reset, send cmd error\n");
            break;
        case kErrorAnswer:
            line.log().write("Error: Download reset, %s\n",
                             error_answer_text(received, line.log()).c_str());
            break;
        default:
            line.log().write("Download reset fail\n");
            break;
    }
    return 0;
}
