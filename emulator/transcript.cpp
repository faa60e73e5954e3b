#include "emulator/transcript.h"

#include <cstdio>

#include "emulator/emulator.h"

namespace emu {
namespace {

constexpr std::size_t kShownBytes = 48;

std::string hex(const std::vector<std::uint8_t>& packet) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < packet.size() && i < kShownBytes; ++i) {
        std::snprintf(b, sizeof b, "%02X", packet[i]);
        if (i) out += ' ';
        out += b;
    }
    if (packet.size() > kShownBytes) out += " ...";
    return out;
}

const char* efs_name(int code) {
    switch (code) {
        case 0:
            return "efs hello";
        case 2:
            return "efs open";
        case 3:
            return "efs close";
        case 4:
            return "efs read";
        case 5:
            return "efs write";
        case 6:
            return "efs symlink";
        case 8:
            return "efs unlink";
        case 9:
            return "efs mkdir";
        case 10:
            return "efs rmdir";
        case 11:
            return "efs opendir";
        case 12:
            return "efs readdir";
        case 13:
            return "efs closedir";
        case 15:
            return "efs stat";
        default:
            return "efs ?";
    }
}

}  // namespace

std::string packet_name(Mode mode, bool request, const std::vector<std::uint8_t>& p) {
    if (p.empty()) return "empty";
    switch (mode) {
        case Mode::Diag:
            if (p[0] == 0x4B && p.size() >= 4 && p[1] == 0x13) return efs_name(p[2] + 256 * p[3]);
            if (p[0] == 0x00) return "version";
            if (p[0] == 0x7C) return "build version";
            if (p[0] == 0x3A) return "switch to download";
            if (p[0] == 0x13 && !request) return "bad command";
            return "unknown";
        case Mode::Dload:
            switch (p[0]) {
                case 0x02:
                    return "ack";
                case 0x03:
                    return "nak";
                case 0x05:
                    return "go";
                case 0x06:
                    return "nop";
                case 0x07:
                    return "parameter request";
                case 0x08:
                    return "parameters";
                case 0x0B:
                    return "unlock";
                case 0x0F:
                    return "write";
                default:
                    return "unknown";
            }
        case Mode::Stream:
            switch (p[0]) {
                case 0x01:
                    return "hello";
                case 0x02:
                    return "hello answer";
                case 0x07:
                    return "stream write";
                case 0x08:
                    return "block written";
                case 0x0B:
                    return "reset";
                case 0x0C:
                    return "reset acknowledged";
                case 0x0D:
                    return "error";
                case 0x0E:
                    return "log message";
                case 0x15:
                    return "close";
                case 0x16:
                    return "closed";
                case 0x17:
                    return "security mode";
                case 0x18:
                    return "security mode received";
                case 0x19:
                    return "partition table";
                case 0x1A:
                    return "partition table received";
                case 0x1B:
                    return "open multi-image";
                case 0x1C:
                    return "multi-image opened";
                default:
                    return "unknown";
            }
    }
    return "?";
}

bool Transcript::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    out_.open(path, std::ios::trunc);
    return static_cast<bool>(out_);
}

void Transcript::line(Mode mode, char direction, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!out_.is_open()) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    char head[48];
    std::snprintf(head, sizeof head, "%8lld %-6s %c ", static_cast<long long>(ms), mode_name(mode),
                  direction);
    out_ << head << text << '\n';
    out_.flush();
}

void Transcript::request(Mode mode, const std::vector<std::uint8_t>& packet) {
    if (!out_.is_open()) return;
    line(mode, '>',
         packet_name(mode, true, packet) + " [" + std::to_string(packet.size()) + "] " +
             hex(packet));
}

void Transcript::answer(Mode mode, const std::vector<std::uint8_t>& packet,
                        const std::string& note) {
    if (!out_.is_open()) return;
    line(mode, '<',
         packet_name(mode, false, packet) + " [" + std::to_string(packet.size()) + "] " +
             hex(packet) + (note.empty() ? "" : " (" + note + ")"));
}

void Transcript::event(Mode mode, const std::string& text) {
    line(mode, '!', text);
}

}  // namespace emu
