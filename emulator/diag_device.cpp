#include <algorithm>

#include "emulator/modes.h"

namespace emu {
namespace {

constexpr std::uint8_t kVersion = 0x00;
constexpr std::uint8_t kBuildVersion = 0x7C;
constexpr std::uint8_t kSwitchToDownload = 0x3A;
constexpr std::uint8_t kSubsystem = 0x4B;
constexpr std::uint8_t kFileSystem = 0x13;
constexpr std::uint8_t kBadCommand = 0x13;

void append_text(Bytes* out, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        out->push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ');
}

}  // namespace

Bytes DiagDevice::error_answer(const Bytes& request) {
    Bytes out(request.size() + 1);
    out[0] = kBadCommand;
    std::copy(request.begin(), request.end(), out.begin() + 1);
    return out;
}

Reply DiagDevice::handle(const Bytes& r) {
    Reply reply;
    switch (r[0]) {
        case kVersion:
            if (r.size() != 1) break;
            // Compile and release stamps, then model and revision numbers.
            reply.packet = {kVersion};
            append_text(&reply.packet, "Jan 01 2026", 11);
            append_text(&reply.packet, "00:00:00", 8);
            append_text(&reply.packet, "Jan 01 2026", 11);
            append_text(&reply.packet, "00:00:00", 8);
            append_text(&reply.packet, "EMU", 8);
            reply.packet.insert(reply.packet.end(),
                                {0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 0x00});
            return reply;
        case kBuildVersion:
            if (r.size() != 1) break;
            // The tool reads this answer raw, the text from byte 12: bytes 0 to 11 hold no byte
            // that framing would escape, so nothing shifts the text.
            reply.packet = {kBuildVersion, 0x00, 0x00, 0x00, 0x01, 0x00,
                            0x00,          0x00, 0x02, 0x00, 0x00, 0x00};
            for (char c : *build_version_)
                reply.packet.push_back(static_cast<std::uint8_t>(c));
            reply.packet.push_back(0);
            append_text(&reply.packet, "EMULATED MODEM", 14);
            reply.packet.push_back(0);
            return reply;
        case kSwitchToDownload:
            if (r.size() != 1) break;
            reply.packet = {kSwitchToDownload};
            reply.leave_to = Mode::Dload;
            return reply;
        case kSubsystem:
            if (r.size() >= 4 && r[1] == kFileSystem) {
                if (auto answer = efs_->handle(r)) {
                    reply.packet = std::move(*answer);
                    return reply;
                }
            }
            break;
        default:
            break;
    }
    reply.packet = error_answer(r);
    return reply;
}

}  // namespace emu
