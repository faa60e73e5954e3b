#include "fuzz/support/answer_script.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint8_t kEscape = 0x7D;
// Longer than every receive buffer of the product (20000 bytes).
constexpr std::size_t kFloodLength = 20500;

Bytes flood(const Bytes& pattern) {
    Bytes out;
    if (pattern.empty()) return out;
    while (out.size() < kFloodLength)
        out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

Reply reply_of(std::uint8_t kind, const Bytes& payload, std::size_t split_at) {
    Reply reply;
    switch (kind & 3) {
        case 1:
            reply = answer(payload, false);
            break;
        case 2:
            reply = answer(payload, true);
            break;
        default:
            reply = raw(kind & 8 ? flood(payload) : payload);
            break;
    }
    if (kind & 4) reply = split(reply.pieces.front(), split_at);
    return reply;
}

}  // namespace

std::vector<Reply> replies_from(const std::uint8_t* data, std::size_t size) {
    std::vector<Reply> replies;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t kind = data[at++];
        Reply reply;
        if ((kind & 3) != 3) {
            std::size_t length = 0;
            if (at + 2 <= size) length = data[at] | (data[at + 1] << 8);
            at = std::min(at + 2, size);
            length = std::min(length, size - at);
            const Bytes payload(data + at, data + at + length);
            at += length;
            const std::size_t split_at = at < size ? data[at++] : 1;
            reply = reply_of(kind, payload, split_at);
        }
        if (kind & 0x10) reply.raise = EIO;
        replies.push_back(std::move(reply));
    }
    return replies;
}

int FuzzPort::Read(void* buffer, int capacity) {
    const int n = ScriptedPort::Read(buffer, capacity);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::size_t request = requests().empty() ? 0 : requests().size() - 1;
    reads_.push_back({request, Bytes(bytes, bytes + std::max(n, 0)), capacity});
    return n;
}

FuzzDevice::FuzzDevice(const std::uint8_t* data, std::size_t size)
    : port_(new FuzzPort(clock_)), line_(clock_, std::unique_ptr<CSerialPort>(port_)) {
    port_->script(replies_from(data, size));
    port_->Open(1);
}

FuzzDevice::~FuzzDevice() = default;

bool every_request_answered(const FuzzPort& port, Buffer buffer, const Judge& judge,
                            const std::function<bool(const Bytes&)>& counts) {
    // Keyed by the request itself: a request sent again after a port error is the same step.
    std::map<Bytes, bool> answered;
    for (const Bytes& request : port.requests())
        if (!counts || counts(request)) answered[request] = false;
    Bytes model;
    std::size_t last_request = static_cast<std::size_t>(-1);
    for (const ReadRecord& read : port.reads()) {
        const bool new_attempt = read.request != last_request;
        last_request = read.request;
        if (model.size() != static_cast<std::size_t>(read.capacity) ||
            (new_attempt && buffer == Buffer::kPerAttempt))
            model.assign(static_cast<std::size_t>(read.capacity), 0);
        std::copy(read.bytes.begin(), read.bytes.end(), model.begin());
        if (read.request >= port.requests().size()) continue;
        const Bytes& request = port.requests()[read.request];
        if (answered.count(request) && judge(request, model)) answered[request] = true;
    }
    return std::all_of(answered.begin(), answered.end(), [](const auto& a) { return a.second; });
}

Bytes reference_decode(const Bytes& bytes, std::size_t from, std::size_t capacity) {
    Bytes out;
    const std::size_t end = std::min(bytes.size(), from + capacity);
    for (std::size_t i = from; i < end && bytes[i] != kFlag; ++i) {
        const bool pair = bytes[i] == kEscape && i + 1 < end &&
                          (bytes[i + 1] == (kFlag ^ 0x20) || bytes[i + 1] == (kEscape ^ 0x20));
        out.push_back(pair ? bytes[++i] ^ 0x20 : bytes[i]);
    }
    return out;
}

bool reference_crc_good(const Bytes& frame) {
    if (frame.size() < 2) return false;
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : frame) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
    }
    return reg == 0xF0B8;  // the good residue before the final complement
}

const std::string& fuzz_folder() {
    // Memory-backed where the system has it: some targets write a file for every input.
    struct Folder {
        std::string path;
        Folder() {
            char shm[] = "/dev/shm/fwup-fuzz-XXXXXX";
            char tmp[] = "/tmp/fwup-fuzz-XXXXXX";
            if (mkdtemp(shm)) {
                path = shm;
            } else if (mkdtemp(tmp)) {
                path = tmp;
            }
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static Folder folder;
    return folder.path;
}

std::string fuzz_file(const Bytes& content) {
    static int files = 0;
    const std::string path = fuzz_folder() + "/file" + std::to_string(++files);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
    return path;
}
