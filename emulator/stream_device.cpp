#include <algorithm>
#include <cstring>

#include "emulator/modes.h"
#include "link/attempts.h"

namespace emu {
namespace {

constexpr std::uint8_t kHello = 0x01;
constexpr std::uint8_t kHelloAnswer = 0x02;
constexpr std::uint8_t kStreamWrite = 0x07;
constexpr std::uint8_t kBlockWritten = 0x08;
constexpr std::uint8_t kReset = 0x0B;
constexpr std::uint8_t kResetAck = 0x0C;
constexpr std::uint8_t kError = 0x0D;
constexpr std::uint8_t kLog = 0x0E;
constexpr std::uint8_t kClose = 0x15;
constexpr std::uint8_t kClosed = 0x16;
constexpr std::uint8_t kSecurityMode = 0x17;
constexpr std::uint8_t kSecurityModeReceived = 0x18;
constexpr std::uint8_t kPartitionTable = 0x19;
constexpr std::uint8_t kPartitionTableReceived = 0x1A;
constexpr std::uint8_t kOpenMultiImage = 0x1B;
constexpr std::uint8_t kMultiImageOpened = 0x1C;

constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";
constexpr std::size_t kMagicLength = 32;
constexpr std::uint8_t kProtocolVersion = 3;
constexpr std::uint8_t kCompatibleVersion = 2;

constexpr std::size_t kMaxPayload = 512;
constexpr std::uint64_t kMaxImage = 128u << 20;

// Open multi-image statuses.
constexpr std::uint8_t kOpened = 0;
constexpr std::uint8_t kPayloadTooLong = 1;
constexpr std::uint8_t kNoPayloadExpected = 2;
constexpr std::uint8_t kPayloadRequired = 3;
constexpr std::uint8_t kWriteProtected = 4;

// Partition table statuses.
constexpr std::uint8_t kTableEqual = 0;
constexpr std::uint8_t kTableDiffers = 1;
constexpr std::uint8_t kTableNotRecognized = 2;
constexpr std::uint8_t kTableEraseFailed = 3;

Bytes error(std::uint32_t code, const char* text) {
    Bytes out{kError, 0, 0, 0, 0};
    put_le32(&out[1], code);
    append_bytes(&out, text, std::strlen(text));
    out.push_back(0);
    return out;
}

}  // namespace

Bytes StreamDevice::log_message(const std::string& text) {
    Bytes out{kLog};
    append_bytes(&out, text.data(), text.size());
    out.push_back(0);
    return out;
}

Bytes StreamDevice::hello_answer() const {
    // The tool reads this answer raw, without undoing escapes: no byte up to the feature bits
    // may be 0x7E or 0x7D, or every field after it would shift.
    Bytes out{kHelloAnswer};
    append_bytes(&out, kTargetMagic, kMagicLength);
    out.push_back(kProtocolVersion);
    out.push_back(kCompatibleVersion);
    out.insert(out.end(), {0x00, 0x04, 0x00, 0x00});  // largest block: 1024
    out.insert(out.end(), {0x00, 0x00, 0x00, 0x00});  // flash base address
    const int id_length = std::clamp(options_->hello.flash_id_length, 0, 255);
    out.push_back(static_cast<std::uint8_t>(id_length));
    for (int i = 0; i < id_length; ++i)
        out.push_back(static_cast<std::uint8_t>('A' + i % 26));
    out.insert(out.end(), {0x01, 0x00});  // window size
    const int sectors = std::clamp(options_->hello.sector_count, 0, 0xFFFF);
    out.push_back(static_cast<std::uint8_t>(sectors));
    out.push_back(static_cast<std::uint8_t>(sectors >> 8));
    for (int i = 0; i < sectors; ++i)
        out.insert(out.end(), {0x00, 0x00, 0x01, 0x00});
    out.push_back(options_->hello.feature_bits);
    return out;
}

std::uint8_t StreamDevice::open_status(int type, std::size_t payload) const {
    if (payload > kMaxPayload) return kPayloadTooLong;
    if ((type == 2 || type == 3) && payload > 0) return kNoPayloadExpected;
    if ((type == 4 || type == 5) && payload == 0) return kPayloadRequired;
    if (type == options_->write_protected_type) return kWriteProtected;
    return kOpened;
}

Reply StreamDevice::handle(const Bytes& r) {
    Reply reply;
    if (r[0] == kHello) {
        if (r.size() != 36 || std::memcmp(&r[1], kHostMagic, kMagicLength) != 0 ||
            r[34] > kProtocolVersion || r[33] < kCompatibleVersion) {
            return reply;
        }
        greeted_ = true;
        open_type_ = -1;
        reply.packet = hello_answer();
        return reply;
    }
    // Until greeted, the programmer stays silent; so does it to requests it does not know, which
    // keeps a mode probe's DIAG and DLOAD requests from passing for answers of those modes.
    if (!greeted_) return reply;
    switch (r[0]) {
        case kSecurityMode:
            if (r.size() != 2 || r[1] > 1) {
                reply.packet = error(1, "bad security mode");
            } else {
                reply.packet = {kSecurityModeReceived};
            }
            break;
        case kPartitionTable: {
            if (r.size() < 2) break;
            Bytes table(r.begin() + 2, r.end());
            std::uint8_t status = kTableEqual;
            if (options_->partition_status) {
                status = static_cast<std::uint8_t>(*options_->partition_status);
            } else if (table.empty() || table.size() > kMaxPayload || r[1] > 1) {
                status = kTableNotRecognized;
            } else if (table != options_->partition_table && r[1] == 0) {
                status = kTableDiffers;
            }
            // A table it does not recognize, or could not erase the old one for, is not taken.
            if (status != kTableNotRecognized && status != kTableEraseFailed)
                flash_->partition = std::move(table);
            reply.packet = {kPartitionTableReceived, status};
            break;
        }
        case kOpenMultiImage: {
            if (r.size() < 2) break;
            const int type = r[1];
            const std::uint8_t status = open_status(type, r.size() - 2);
            if (status == kOpened) {
                FlashImage& image = flash_->images[type];
                image = FlashImage{};
                image.header.assign(r.begin() + 2, r.end());
                open_type_ = type;
            }
            reply.packet = {kMultiImageOpened, status};
            break;
        }
        case kStreamWrite: {
            if (r.size() < 5) break;
            const std::uint32_t offset = get_le32(&r[1]);
            const std::size_t n = r.size() - 5;
            if (open_type_ < 0) {
                reply.packet = error(2, "no image open");
                break;
            }
            if (offset + static_cast<std::uint64_t>(n) > kMaxImage) {
                reply.packet = error(3, "write beyond flash");
                break;
            }
            Bytes& data = flash_->images[open_type_].data;
            if (data.size() < offset + n) data.resize(offset + n, 0xFF);
            std::copy(r.begin() + 5, r.end(), data.begin() + offset);
            wrote_image_ = true;
            reply.packet = {kBlockWritten, 0, 0, 0, 0};
            put_le32(&reply.packet[1], offset);
            break;
        }
        case kClose:
            if (r.size() != 1) break;
            if (open_type_ < 0) {
                reply.packet = log_message("no image open");
            } else {
                flash_->images[open_type_].closed = true;
                open_type_ = -1;
                reply.packet = {kClosed};
            }
            break;
        case kReset:
            if (r.size() != 1) break;
            reply.packet = {kResetAck};
            reply.leave_to = Mode::Diag;
            reply.final_reset = true;
            break;
        default:
            break;
    }
    return reply;
}

}  // namespace emu
