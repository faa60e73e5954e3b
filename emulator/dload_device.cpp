#include <algorithm>

#include "emulator/modes.h"
#include "link/attempts.h"

namespace emu {
namespace {

constexpr std::uint8_t kGo = 0x05;
constexpr std::uint8_t kNop = 0x06;
constexpr std::uint8_t kParameterRequest = 0x07;
constexpr std::uint8_t kParameters = 0x08;
constexpr std::uint8_t kUnlock = 0x0B;
constexpr std::uint8_t kWrite = 0x0F;

constexpr std::uint8_t kSecurityCode[8] = {0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xD4, 0x61, 0xF0};
// RAM the boot downloader accepts in all; a programmer is far smaller.
constexpr std::uint64_t kRamLimit = 64u << 20;

}  // namespace

Bytes DloadDevice::nak(std::uint16_t code) {
    Bytes out{kDloadNak, 0, 0};
    put_be16(&out[1], code);
    return out;
}

Reply DloadDevice::handle(const Bytes& r) {
    Reply reply;
    const Bytes ack{kDloadAck};
    switch (r[0]) {
        case kNop:
            reply.packet = r.size() == 1 ? ack : nak(kNakBadLength);
            break;
        case kParameterRequest:
            // Protocol version, lowest version, largest write, model, device size, device type.
            reply.packet = r.size() == 1
                               ? Bytes{kParameters, 0x06, 0x02, 0x04, 0x00, 0x01, 0x00, 0x01}
                               : nak(kNakBadLength);
            break;
        case kUnlock:
            if (r.size() != 9) {
                reply.packet = nak(kNakBadLength);
            } else if (!std::equal(r.begin() + 1, r.end(), kSecurityCode)) {
                reply.packet = nak(kNakBadSecurityCode);
            } else {
                unlocked_ = true;
                reply.packet = ack;
            }
            break;
        case kWrite: {
            if (r.size() < 7 || get_be16(&r[5]) != r.size() - 7) {
                reply.packet = nak(kNakBadLength);
                break;
            }
            if (!unlocked_) {
                reply.packet = nak(kNakLocked);
                break;
            }
            const std::uint64_t address = get_be32(&r[1]);
            const std::size_t n = r.size() - 7;
            if (address + n > 0x100000000ull) {
                reply.packet = nak(kNakBadAddress);
                break;
            }
            if (written_bytes_ + n > kRamLimit) {
                reply.packet = nak(kNakTooLarge);
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                const auto a = static_cast<std::uint32_t>(address + i);
                Page& page = pages_[a / kPage];
                if (!page.written[a % kPage]) ++written_bytes_;
                page.data[a % kPage] = r[7 + i];
                page.written[a % kPage] = true;
            }
            reply.packet = ack;
            break;
        }
        case kGo: {
            if (r.size() != 5) {
                reply.packet = nak(kNakBadLength);
                break;
            }
            if (!unlocked_) {
                reply.packet = nak(kNakLocked);
                break;
            }
            go_ = get_be32(&r[1]);
            reply.packet = ack;
            // A jump into RAM that holds no code crashes the device back into its boot
            // downloader.
            reply.leave_to = written(*go_) ? Mode::Stream : Mode::Dload;
            break;
        }
        default:
            reply.packet = nak(kNakBadCommand);
            break;
    }
    return reply;
}

bool DloadDevice::written(std::uint32_t address) const {
    auto it = pages_.find(address / kPage);
    return it != pages_.end() && it->second.written[address % kPage];
}

std::vector<std::uint8_t> DloadDevice::ram(std::uint32_t address, std::size_t length) const {
    std::vector<std::uint8_t> out(length, 0);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t a = address + static_cast<std::uint64_t>(i);
        if (a > 0xFFFFFFFFull) break;
        auto it = pages_.find(static_cast<std::uint32_t>(a / kPage));
        if (it != pages_.end()) out[i] = it->second.data[a % kPage];
    }
    return out;
}

std::optional<std::pair<std::uint32_t, std::uint64_t>> DloadDevice::written_span() const {
    std::optional<std::uint32_t> low;
    std::uint64_t high = 0;
    for (const auto& [index, page] : pages_) {
        for (std::uint32_t i = 0; i < kPage; ++i) {
            if (!page.written[i]) continue;
            const std::uint64_t a = static_cast<std::uint64_t>(index) * kPage + i;
            if (!low) low = static_cast<std::uint32_t>(a);
            high = a + 1;
        }
    }
    if (!low) return std::nullopt;
    return std::make_pair(*low, high);
}

}  // namespace emu
