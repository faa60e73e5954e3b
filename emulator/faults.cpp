#include "emulator/faults.h"

#include <cstdlib>
#include <map>

namespace emu {
namespace {

bool parse_int(const std::string& text, long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    return end && *end == '\0';
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (;;) {
        std::size_t at = text.find(sep, begin);
        parts.push_back(text.substr(begin, at - begin));
        if (at == std::string::npos) return parts;
        begin = at + 1;
    }
}

}  // namespace

std::vector<Fault> FaultSet::hits(Mode mode, const std::vector<std::uint8_t>& request) {
    std::vector<Fault> out;
    if (request.empty()) return out;
    const bool efs_request = request.size() >= 4 && request[0] == 0x4B && request[1] == 0x13;
    for (Entry& e : entries_) {
        const Fault& f = e.fault;
        if (f.mode != mode) continue;
        if (f.command >= 0 && f.command != request[0]) continue;
        if (f.efs_command >= 0 && (!efs_request || f.efs_command != request[2] + 256 * request[3]))
            continue;
        const int index = ++e.seen;
        if (index < f.nth) continue;
        if (f.times > 0 && index >= f.nth + f.times) continue;
        if (f.probability < 1.0) {
            std::uniform_real_distribution<double> draw(0.0, 1.0);
            if (draw(random_) >= f.probability) continue;
        }
        out.push_back(f);
    }
    return out;
}

std::optional<Fault> Fault::parse(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<Fault> {
        if (error) *error = "bad fault \"" + text + "\": " + why;
        return std::nullopt;
    };
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 3) return fail("want kind:mode:command[:key=value...]");
    static const std::map<std::string, FaultKind> kinds = {{"drop", FaultKind::Drop},
                                                           {"lose", FaultKind::Lost},
                                                           {"delay", FaultKind::Delay},
                                                           {"split", FaultKind::Split},
                                                           {"badcrc", FaultKind::BadCrc},
                                                           {"nak", FaultKind::Nak},
                                                           {"diagerr", FaultKind::DiagError},
                                                           {"logbefore", FaultKind::LogBefore},
                                                           {"loginstead", FaultKind::LogInstead},
                                                           {"hangup", FaultKind::HangUp},
                                                           {"efs", FaultKind::EfsError}};
    static const std::map<std::string, Mode> modes = {
        {"diag", Mode::Diag}, {"dload", Mode::Dload}, {"stream", Mode::Stream}};
    Fault f;
    auto kind = kinds.find(parts[0]);
    if (kind == kinds.end()) return fail("unknown kind " + parts[0]);
    f.kind = kind->second;
    auto mode = modes.find(parts[1]);
    if (mode == modes.end()) return fail("unknown mode " + parts[1]);
    f.mode = mode->second;
    long long v = 0;
    if (parts[2] == "any" || parts[2] == "*") {
        f.command = -1;
    } else if (parse_int(parts[2], &v) && v >= 0 && v <= 255) {
        f.command = static_cast<int>(v);
    } else {
        return fail("bad command " + parts[2]);
    }
    for (std::size_t i = 3; i < parts.size(); ++i) {
        const std::string& item = parts[i];
        if (item == "every") {
            f.times = 0;
            continue;
        }
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) return fail("want key=value: " + item);
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "p") {
            char* end = nullptr;
            f.probability = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || f.probability < 0.0 || f.probability > 1.0)
                return fail("p wants 0..1");
            continue;
        }
        if (!parse_int(value, &v) || v < 0 || v > 0x7FFFFFFF) return fail("bad value " + item);
        const int n = static_cast<int>(v);
        if (key == "efs") {
            f.efs_command = n;
        } else if (key == "nth") {
            if (n < 1) return fail("nth counts from 1");
            f.nth = n;
        } else if (key == "times") {
            f.times = n;
        } else if (key == "every") {
            f.times = n ? 0 : f.times;
        } else if (key == "ms") {
            f.delay_ms = n;
        } else if (key == "code") {
            f.code = n;
        } else {
            return fail("unknown key " + key);
        }
    }
    switch (f.kind) {
        case FaultKind::Nak:
            if (f.mode != Mode::Dload) return fail("nak is a DLOAD answer");
            if (f.code > 0xFFFF) return fail("a NAK code has 16 bits");
            break;
        case FaultKind::DiagError:
            if (f.mode != Mode::Diag) return fail("diagerr is a DIAG answer");
            break;
        case FaultKind::LogBefore:
        case FaultKind::LogInstead:
            if (f.mode != Mode::Stream) return fail("log messages come from the programmer");
            break;
        case FaultKind::EfsError:
            if (f.mode != Mode::Diag) return fail("efs errors are DIAG answers");
            if (f.command < 0) f.command = 0x4B;
            if (f.command != 0x4B) return fail("efs errors answer 0x4b requests");
            break;
        default:
            break;
    }
    return f;
}

}  // namespace emu
