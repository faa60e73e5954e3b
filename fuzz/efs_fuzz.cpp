// The EFS2 operations against any answer bytes: no read past a buffer, and no success unless each
// request got a frame whose CRC checks, whose header names the request's own command and whose
// fields say what the operation documents as success; what a success hands back (a handle, a
// size, an entry's name) is what such an answer carried. The hello is left out: by design it
// does not look at its answer.
#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "diag/efs.h"
#include "diag/efs_transfer.h"
#include "diag/efs_wire.h"
#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"

namespace {

constexpr std::size_t kLocalSize = 300;  // one chunk each way

// The decoded packet without its CRC, zero-padded so every field reads; nothing when the frame
// is not one.
std::optional<Bytes> efs_packet(const Bytes& buffer, std::size_t* length = nullptr) {
    Bytes frame = reference_decode(buffer, 0, buffer.size());
    if (frame.size() < 3 || !reference_crc_good(frame)) return std::nullopt;
    frame.resize(frame.size() - 2);
    if (length) *length = frame.size();
    frame.resize(frame.size() + 64, 0);
    return frame;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bool header_is(const Bytes& packet, const Bytes& request) {
    return packet[0] == 0x4B && packet[1] == 0x13 && packet[2] == request.at(2);
}

// An answer with the request's header, at least min bytes long, with a zero error code at error_at
// (error_at < 0: any error code); the 32-bit field at value_at of each such answer goes to values.
Judge status(std::size_t min, int error_at, std::set<std::uint32_t>* values = nullptr,
             std::size_t value_at = 0) {
    return [=](const Bytes& request, const Bytes& buffer) {
        std::size_t length = 0;
        const auto p = efs_packet(buffer, &length);
        if (!p || !header_is(*p, request) || length < min) return false;
        if (error_at >= 0 && le32(*p, static_cast<std::size_t>(error_at)) != 0) return false;
        if (values) values->insert(le32(*p, value_at));
        return true;
    };
}

Bytes local_bytes() {
    Bytes data(kLocalSize);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return data;
}

const std::string& local_file() {
    static const std::string path = fuzz_file(local_bytes());
    return path;
}

// A read answer that ends the device file here or carries bytes equal to the local file's first.
bool read_answer(const Bytes&, const Bytes& buffer) {
    std::size_t length = 0;
    const auto p = efs_packet(buffer, &length);
    if (!p) return false;
    std::size_t at = 0;
    while (at + 20 <= length && !((*p)[at] == 0x4B && (*p)[at + 1] == 0x13 && (*p)[at + 2] == 4))
        ++at;
    if (at + 20 > length) return false;
    const auto count = static_cast<std::int32_t>(le32(*p, at + 12));
    if (count == 0) return true;
    if (count < 0 || count > 512 || le32(*p, at + 16) != 0 || at + 20 + count > length ||
        static_cast<std::size_t>(count) > kLocalSize)
        return false;
    const Bytes local = local_bytes();
    return std::equal(local.begin(), local.begin() + count, p->begin() + at + 20);
}

bool answered(FuzzDevice& device, const Judge& judge) {
    return every_request_answered(device.port(), Buffer::kPerAttempt, judge);
}

// Only the requests of one file-system command count: an open also closes the handles that its
// repeated requests left on the device, and those closes have answers of their own.
bool answered_for(FuzzDevice& device, std::uint16_t command, const Judge& judge) {
    return every_request_answered(
        device.port(), Buffer::kPerAttempt, judge, [command](const Bytes& request) {
            return request.size() > 3 && (request[2] | request[3] << 8) == command;
        });
}

bool run_handle_op(int op, FuzzDevice& device) {
    EfsHandle handle = {9, 9, 9, 9};
    std::set<std::uint32_t> handles;
    int ok = 0;
    if (op == 0) ok = open_efs_file(device.line(), "/a", handle);
    if (op == 1) ok = create_efs_file(device.line(), "/a", handle);
    if (op == 2) ok = open_efs_dir(device.line(), "/d", handle);
    // Create is an open too.
    const std::uint16_t command = op == 2 ? kEfsOpendir : kEfsOpen;
    FUZZ_CHECK(!ok || (answered_for(device, command, status(12, 8, &handles, 4)) &&
                       handles.count(le32(Bytes(handle, handle + 4), 0))));
    return ok;
}

void run_readdir(FuzzDevice& device) {
    const EfsHandle handle = {1, 2, 3, 4};
    char name[32];
    int type = -1;
    const int result = read_efs_dir(device.line(), handle, 1, name, &type, sizeof name);
    FUZZ_CHECK(result >= -1 && result <= 1);
    if (result == 0) return;
    std::set<std::string> names;
    const bool fine = answered(device, [&](const Bytes& request, const Bytes& buffer) {
        const auto p = efs_packet(buffer);
        if (!p || !header_is(*p, request)) return false;
        const bool end = (*p)[4] == 0 && (*p)[5] == 0 && (*p)[6] == 0 && (*p)[7] != 0;
        if (result == -1) return end;
        const std::string entry(reinterpret_cast<const char*>(&(*p)[40]));
        names.insert(entry);
        return !end && !entry.empty() && entry.size() < sizeof name;
    });
    FUZZ_CHECK(fine);
    FUZZ_CHECK(result == -1 || names.count(name));
}

// The operations that only report a status: what each needs of its answer.
struct StatusOp {
    int (*run)(DeviceLine&);
    std::size_t min_packet;
    int error_at;  // -1: a close may take any error code, as its handle may be gone already
};
const EfsHandle kHandle = {1, 2, 3, 4};
const StatusOp kStatusOps[] = {
    {[](DeviceLine& line) { return close_efs_file(line, kHandle); }, 8, -1},
    {[](DeviceLine& line) { return close_efs_dir(line, kHandle); }, 8, -1},
    {[](DeviceLine& line) { return create_efs_symlink(line, "/t", "/l"); }, 8, 4},
    {[](DeviceLine& line) { return unlink_efs_file(line, "/f"); }, 8, 4},
    {[](DeviceLine& line) { return create_efs_dir(line, "/d"); }, 8, 4},
    {[](DeviceLine& line) { return unlink_efs_dir(line, "/d"); }, 8, 4},
};

void run_transfer(int op, FuzzDevice& device) {
    const std::string& local = local_file();
    std::uint32_t sent = 0;
    if (op == 0) {
        // A write's answer fields are not read by design: any packet with a good CRC will do.
        const bool ok =
            try_write_efs_file(device.line(), local.c_str(), kHandle, nullptr, nullptr, &sent);
        FUZZ_CHECK(!ok || sent == kLocalSize);
        FUZZ_CHECK(!ok || answered(device, [](const Bytes&, const Bytes& b) {
            return efs_packet(b).has_value();
        }));
        return;
    }
    FUZZ_CHECK(!chk_efs_file(device.line(), kHandle, local.c_str(), nullptr, nullptr) ||
               answered(device, read_answer));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int op = data[0] % 13;
    FuzzDevice device(data + 1, size - 1);
    if (op < 3) {
        run_handle_op(op, device);
    } else if (op < 9) {
        const StatusOp& s = kStatusOps[op - 3];
        FUZZ_CHECK(!s.run(device.line()) || answered(device, status(s.min_packet, s.error_at)));
    } else if (op == 9) {
        run_readdir(device);
    } else if (op == 10) {
        std::uint32_t got = 0;
        std::set<std::uint32_t> sizes;
        FUZZ_CHECK(!query_efs_size(device.line(), "/f", &got) ||
                   (answered(device, status(16, 4, &sizes, 12)) && sizes.count(got)));
    } else {
        run_transfer(op - 11, device);
    }
    return 0;
}
