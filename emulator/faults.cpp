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

namespace {

const std::map<std::string, Mode>& mode_names() {
    static const std::map<std::string, Mode> modes = {
        {"diag", Mode::Diag}, {"dload", Mode::Dload}, {"stream", Mode::Stream}};
    return modes;
}

// Reads one key=value item (or a bare flag) into f; empty, or why the item is refused.
std::string read_item(const std::string& item, Fault* f) {
    if (item == "every") {
        f->times = 0;
        return {};
    }
    if (item == "stay") {
        f->stays_away = true;
        return {};
    }
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) return "want key=value: " + item;
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    if (key == "back") {
        auto back = mode_names().find(value);
        if (back == mode_names().end()) return "unknown mode " + value;
        f->back = back->second;
        return {};
    }
    if (key == "p") {
        char* end = nullptr;
        f->probability = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || f->probability < 0.0 || f->probability > 1.0)
            return "p wants 0..1";
        return {};
    }
    long long v = 0;
    if (!parse_int(value, &v) || v < 0 || v > 0x7FFFFFFF) return "bad value " + item;
    const int n = static_cast<int>(v);
    if (key == "efs") {
        f->efs_command = n;
    } else if (key == "nth") {
        if (n < 1) return "nth counts from 1";
        f->nth = n;
    } else if (key == "times") {
        f->times = n;
    } else if (key == "every") {
        f->times = n ? 0 : f->times;
    } else if (key == "ms") {
        f->delay_ms = n;
    } else if (key == "code") {
        f->code = n;
    } else {
        return "unknown key " + key;
    }
    return {};
}

// The kinds that belong to one mode or one command; empty, or why the fault is refused.
std::string check_kind(Fault* f) {
    if (f->kind != FaultKind::HangUp && (f->back || f->stays_away))
        return "back and stay belong to hangup";
    switch (f->kind) {
        case FaultKind::Nak:
            if (f->mode != Mode::Dload) return "nak is a DLOAD answer";
            if (f->code > 0xFFFF) return "a NAK code has 16 bits";
            break;
        case FaultKind::DiagError:
            if (f->mode != Mode::Diag) return "diagerr is a DIAG answer";
            break;
        case FaultKind::LogBefore:
        case FaultKind::LogInstead:
            if (f->mode != Mode::Stream) return "log messages come from the programmer";
            break;
        case FaultKind::EfsError:
            if (f->mode != Mode::Diag) return "efs errors are DIAG answers";
            if (f->command < 0) f->command = 0x4B;
            if (f->command != 0x4B) return "efs errors answer 0x4b requests";
            break;
        default:
            break;
    }
    return {};
}

}  // namespace

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
    Fault f;
    auto kind = kinds.find(parts[0]);
    if (kind == kinds.end()) return fail("unknown kind " + parts[0]);
    f.kind = kind->second;
    auto mode = mode_names().find(parts[1]);
    if (mode == mode_names().end()) return fail("unknown mode " + parts[1]);
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
        std::string why = read_item(parts[i], &f);
        if (!why.empty()) return fail(why);
    }
    std::string why = check_kind(&f);
    if (!why.empty()) return fail(why);
    return f;
}

}  // namespace emu
