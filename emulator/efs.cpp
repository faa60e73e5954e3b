#include "emulator/efs.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "link/attempts.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

// POSIX errno values, as the device reports them on the wire whatever the host is.
constexpr int kENOENT = 2;
constexpr int kEBADF = 9;
constexpr int kEBUSY = 16;
constexpr int kEEXIST = 17;
constexpr int kENOTDIR = 20;
constexpr int kEISDIR = 21;
constexpr int kEINVAL = 22;
constexpr int kEMFILE = 24;
constexpr int kEFBIG = 27;
constexpr int kENOSPC = 28;
constexpr int kENAMETOOLONG = 36;
constexpr int kENOTEMPTY = 39;
constexpr int kELOOP = 40;

constexpr int kOpenAccessMask = 0x3;
constexpr int kOpenCreate = 0x40;
constexpr int kOpenExclusive = 0x80;
constexpr int kOpenTruncate = 0x200;
constexpr int kOpenAppend = 0x400;

constexpr std::size_t kMaxPath = 1024;
constexpr std::size_t kMaxName = 255;
constexpr std::uint32_t kMaxRead = 512;
constexpr std::size_t kMaxHandles = 128;
constexpr int kMaxLinkDepth = 8;

constexpr std::uint32_t kModeFile = 0100644;
constexpr std::uint32_t kModeDir = 040755;
constexpr std::uint32_t kModeLink = 0120777;

using Bytes = std::vector<std::uint8_t>;

// Room for the fixed fields of any answer up front, and for a read's data where asked for: an
// answer then grows without moving.
Bytes header(std::uint8_t code, std::size_t room = 32) {
    Bytes out;
    out.reserve(room);
    for (std::uint8_t b : {std::uint8_t{0x4B}, std::uint8_t{0x13}, code, std::uint8_t{0x00}})
        out.push_back(b);
    return out;
}

void append32(Bytes* out, std::uint32_t value) {
    std::uint8_t b[4];
    put_le32(b, value);
    out->insert(out->end(), b, b + 4);
}

std::deque<std::string> split(const std::string& path) {
    std::deque<std::string> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

// A path in a request runs from begin up to a NUL that is the request's last byte; a NUL inside
// it, or none at the end, makes the request malformed.
std::optional<std::string> path_at(const Bytes& r, std::size_t begin) {
    if (r.size() < begin + 1 || r.back() != 0) return std::nullopt;
    std::string path(r.begin() + static_cast<long>(begin), r.end() - 1);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

std::uint32_t mode_of(EfsType type) {
    switch (type) {
        case EfsType::Directory:
            return kModeDir;
        case EfsType::Link:
            return kModeLink;
        default:
            return kModeFile;
    }
}

std::uint32_t wire_type(EfsType type) {
    switch (type) {
        case EfsType::Directory:
            return 1;
        case EfsType::Link:
            return 2;
        default:
            return 0;
    }
}

}  // namespace

FileSystem::FileSystem(std::uint64_t capacity) : capacity_(capacity) {
    root_ = std::make_shared<Node>();
    root_->type = EfsType::Directory;
    auto home = std::make_shared<Node>();
    home->type = EfsType::Directory;
    root_->children["home"] = home;
}

std::uint64_t FileSystem::used() const {
    std::uint64_t total = 0;
    std::vector<const Node*> todo{root_.get()};
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        total += n->data.size();
        for (const auto& [name, child] : n->children)
            todo.push_back(child.get());
    }
    return total;
}

bool FileSystem::fits(std::uint64_t more) {
    if (used_bound_ && *used_bound_ + more <= capacity_) return true;
    used_bound_ = used();
    return *used_bound_ + more <= capacity_;
}

FileSystem::Lookup FileSystem::lookup(const std::string& path, bool follow_last) const {
    Lookup out;
    if (path.empty()) {
        out.error = kENOENT;
        return out;
    }
    if (path.size() > kMaxPath) {
        out.error = kENAMETOOLONG;
        return out;
    }
    std::vector<NodePtr> stack{root_};
    std::deque<std::string> parts = split(path);
    int links = 0;
    while (!parts.empty()) {
        std::string name = std::move(parts.front());
        parts.pop_front();
        const NodePtr& dir = stack.back();
        if (dir->type != EfsType::Directory) {
            out.error = kENOTDIR;
            return out;
        }
        if (name == ".") continue;
        if (name == "..") {
            if (stack.size() > 1) stack.pop_back();
            continue;
        }
        if (name.size() > kMaxName) {
            out.error = kENAMETOOLONG;
            return out;
        }
        bool last = parts.empty();
        auto it = dir->children.find(name);
        if (it == dir->children.end()) {
            if (!last) {
                out.error = kENOENT;
                return out;
            }
            out.parent = dir;
            out.name = name;
            return out;
        }
        NodePtr node = it->second;
        if (node->type == EfsType::Link && (!last || follow_last)) {
            if (++links > kMaxLinkDepth) {
                out.error = kELOOP;
                return out;
            }
            if (node->target.empty()) {
                out.error = kENOENT;
                return out;
            }
            if (node->target[0] == '/') stack.resize(1);
            std::deque<std::string> target = split(node->target);
            parts.insert(parts.begin(), target.begin(), target.end());
            continue;
        }
        if (last) {
            out.parent = dir;
            out.node = node;
            out.name = name;
            return out;
        }
        stack.push_back(node);
    }
    // The path names a directory itself ("/", "/home/.", a link to a directory).
    if (stack.back()->type != EfsType::Directory) {
        out.error = kENOTDIR;
        return out;
    }
    out.node = stack.back();
    if (stack.size() > 1) out.parent = stack[stack.size() - 2];
    return out;
}

std::uint32_t FileSystem::new_handle(Handle handle) {
    // Byte 2 is never zero, so no handle echoed in a readdir answer looks like the end of a
    // listing (bytes 4 to 6 zero).
    std::uint32_t n = next_handle_++;
    std::uint32_t value = (n & 0xFFFF) | ((0x80u | ((n >> 16) & 0x7F)) << 16) | (0x5Au << 24);
    handles_[value] = std::move(handle);
    return value;
}

FileSystem::Handle* FileSystem::find_handle(const std::uint8_t* bytes) {
    auto it = handles_.find(get_le32(bytes));
    return it == handles_.end() ? nullptr : &it->second;
}

std::optional<Bytes> FileSystem::handle(const Bytes& r) {
    if (r.size() < 4 || r[0] != 0x4B || r[1] != 0x13) return std::nullopt;
    const std::uint16_t code = get_le16(&r[2]);
    auto status_answer = [&](int error) {
        Bytes out = header(static_cast<std::uint8_t>(code));
        append32(&out, static_cast<std::uint32_t>(error));
        return out;
    };
    switch (code) {
        case 0: {  // hello: the window sizes and versions the device offers
            if (r.size() != 44) return std::nullopt;
            Bytes out = header(0);
            for (std::uint32_t v :
                 {0x100000u, 0x100000u, 0x100000u, 0x100000u, 0x100000u, 0x100000u, 1u, 1u, 1u, 0u})
                append32(&out, v);
            return out;
        }
        case 2: {
            auto path = path_at(r, 12);
            if (!path) return std::nullopt;
            return do_open(r, *path);
        }
        case 3: {
            if (r.size() != 8) return std::nullopt;
            Handle* h = find_handle(&r[4]);
            if (!h || h->node->type == EfsType::Directory) return status_answer(kEBADF);
            handles_.erase(get_le32(&r[4]));
            return status_answer(0);
        }
        case 4:
            if (r.size() != 16) return std::nullopt;
            return do_read(r);
        case 5:
            if (r.size() < 12) return std::nullopt;
            return do_write(r);
        case 6: {
            // Two NUL-terminated paths: the target, then the link.
            if (r.size() < 6 || r.back() != 0) return std::nullopt;
            std::size_t nul = 4;
            while (r[nul] != 0)
                ++nul;
            if (nul == r.size() - 1) return std::nullopt;
            auto link = path_at(r, nul + 1);
            if (!link) return std::nullopt;
            std::string target(r.begin() + 4, r.begin() + static_cast<long>(nul));
            return status_answer(do_symlink(target, *link));
        }
        case 8: {
            auto path = path_at(r, 4);
            if (!path) return std::nullopt;
            return status_answer(do_unlink(*path));
        }
        case 9: {
            if (r.size() < 7) return std::nullopt;
            auto path = path_at(r, 6);
            if (!path) return std::nullopt;
            return status_answer(do_mkdir(*path));
        }
        case 10: {
            auto path = path_at(r, 4);
            if (!path) return std::nullopt;
            return status_answer(do_rmdir(*path));
        }
        case 11: {
            auto path = path_at(r, 4);
            if (!path) return std::nullopt;
            return do_opendir(r, *path);
        }
        case 12:
            if (r.size() != 12) return std::nullopt;
            return do_readdir(r);
        case 13: {
            if (r.size() != 8) return std::nullopt;
            Handle* h = find_handle(&r[4]);
            if (!h || h->node->type != EfsType::Directory) return status_answer(kEBADF);
            handles_.erase(get_le32(&r[4]));
            return status_answer(0);
        }
        case 15: {
            auto path = path_at(r, 4);
            if (!path) return std::nullopt;
            return do_stat(r, *path);
        }
        default:
            return std::nullopt;
    }
}

std::optional<Bytes> FileSystem::error_answer(const Bytes& r, int code) {
    if (r.size() < 4 || r[0] != 0x4B || r[1] != 0x13) return std::nullopt;
    const std::uint16_t sub = get_le16(&r[2]);
    const auto error = static_cast<std::uint32_t>(code);
    Bytes out = header(static_cast<std::uint8_t>(sub));
    auto handle_echo = [&] {
        if (r.size() >= 8) {
            out.insert(out.end(), r.begin() + 4, r.begin() + 8);
        } else {
            append32(&out, 0);
        }
    };
    switch (sub) {
        case 2:
        case 11:
            append32(&out, 0xFFFFFFFF);
            append32(&out, error);
            return out;
        case 3:
        case 6:
        case 8:
        case 9:
        case 10:
        case 13:
            append32(&out, error);
            return out;
        case 4:
        case 5:
            handle_echo();
            if (sub == 4) {
                append32(&out, r.size() >= 16 ? get_le32(&r[12]) : 0);
            } else {
                append32(&out, r.size() >= 12 ? get_le32(&r[8]) : 0);
            }
            append32(&out, 0xFFFFFFFF);
            append32(&out, error);
            return out;
        case 12:
            handle_echo();
            append32(&out, r.size() >= 12 ? get_le32(&r[8]) : 0);
            append32(&out, error);
            for (int i = 0; i < 6; ++i)
                append32(&out, 0);
            out.push_back(0);
            return out;
        case 15:
            append32(&out, error);
            for (int i = 0; i < 6; ++i)
                append32(&out, 0);
            return out;
        case 0:
            append32(&out, error);
            return out;
        default:
            return std::nullopt;
    }
}

Bytes FileSystem::do_open(const Bytes& r, std::string path) {
    const std::uint32_t flags = get_le32(&r[4]);
    auto fail = [](int error) {
        Bytes out = header(2);
        append32(&out, 0xFFFFFFFF);
        append32(&out, static_cast<std::uint32_t>(error));
        return out;
    };
    const std::uint32_t access = flags & kOpenAccessMask;
    if (access == kOpenAccessMask) return fail(kEINVAL);
    Lookup at = lookup(path, true);
    if (at.error) return fail(at.error);
    if (!at.node) {
        if (!(flags & kOpenCreate)) return fail(kENOENT);
        if (!at.parent) return fail(kENOENT);
        at.node = std::make_shared<Node>();
        at.node->type = EfsType::File;
        at.parent->children[at.name] = at.node;
    } else {
        if ((flags & kOpenCreate) && (flags & kOpenExclusive)) return fail(kEEXIST);
        if (at.node->type == EfsType::Directory) return fail(kEISDIR);
        if ((flags & kOpenTruncate) && access != 0) at.node->data.clear();
    }
    if (handles_.size() >= kMaxHandles) return fail(kEMFILE);
    Handle h;
    h.node = at.node;
    h.read = access == 0 || access == 2;
    h.write = access == 1 || access == 2;
    h.append = (flags & kOpenAppend) != 0;
    Bytes out = header(2);
    append32(&out, new_handle(std::move(h)));
    append32(&out, 0);
    return out;
}

Bytes FileSystem::do_read(const Bytes& r) {
    const std::uint32_t wanted = get_le32(&r[8]);
    const std::uint32_t offset = get_le32(&r[12]);
    Bytes out = header(4, 20 + kMaxRead);
    out.insert(out.end(), r.begin() + 4, r.begin() + 8);
    append32(&out, offset);
    Handle* h = find_handle(&r[4]);
    if (!h || h->node->type == EfsType::Directory || !h->read) {
        append32(&out, 0xFFFFFFFF);
        append32(&out, kEBADF);
        return out;
    }
    const Bytes& data = h->node->data;
    std::uint32_t count = 0;
    if (offset < data.size()) {
        count = std::min<std::uint32_t>(
            {wanted, kMaxRead, static_cast<std::uint32_t>(data.size() - offset)});
    }
    append32(&out, count);
    append32(&out, 0);
    if (count > 0) {
        auto from = data.begin() + static_cast<long>(offset);
        out.insert(out.end(), from, from + count);
    }
    return out;
}

Bytes FileSystem::do_write(const Bytes& r) {
    std::uint64_t offset = get_le32(&r[8]);
    const std::size_t n = r.size() - 12;
    Bytes out = header(5);
    out.insert(out.end(), r.begin() + 4, r.begin() + 8);
    append32(&out, static_cast<std::uint32_t>(offset));
    auto fail = [&](int error) {
        append32(&out, 0xFFFFFFFF);
        append32(&out, static_cast<std::uint32_t>(error));
        return out;
    };
    Handle* h = find_handle(&r[4]);
    if (!h || h->node->type == EfsType::Directory || !h->write) return fail(kEBADF);
    Bytes& data = h->node->data;
    if (h->append) offset = data.size();
    const std::uint64_t end = offset + n;
    if (end > 0xFFFFFFFFull) return fail(kEFBIG);
    if (end > data.size()) {
        if (!fits(end - data.size())) return fail(kENOSPC);
        *used_bound_ += end - data.size();
        data.resize(end);
    }
    std::copy(r.begin() + 12, r.end(), data.begin() + static_cast<long>(offset));
    append32(&out, static_cast<std::uint32_t>(n));
    append32(&out, 0);
    return out;
}

int FileSystem::do_symlink(const std::string& target, const std::string& link) {
    if (target.empty() || target.size() > kMaxPath) return target.empty() ? kENOENT : kENAMETOOLONG;
    Lookup at = lookup(link, false);
    if (at.error) return at.error;
    if (at.node) return kEEXIST;
    if (!at.parent) return kENOENT;
    auto node = std::make_shared<Node>();
    node->type = EfsType::Link;
    node->target = target;
    at.parent->children[at.name] = node;
    return 0;
}

int FileSystem::do_unlink(const std::string& path) {
    Lookup at = lookup(path, false);
    if (at.error) return at.error;
    if (!at.node) return kENOENT;
    if (at.node->type == EfsType::Directory) return kEISDIR;
    at.parent->children.erase(at.name);
    return 0;
}

int FileSystem::do_mkdir(const std::string& path) {
    Lookup at = lookup(path, false);
    if (at.error) return at.error;
    if (at.node) return kEEXIST;
    if (!at.parent) return kENOENT;
    auto node = std::make_shared<Node>();
    node->type = EfsType::Directory;
    at.parent->children[at.name] = node;
    return 0;
}

int FileSystem::do_rmdir(const std::string& path) {
    Lookup at = lookup(path, false);
    if (at.error) return at.error;
    if (!at.node) return kENOENT;
    if (at.node->type != EfsType::Directory) return kENOTDIR;
    if (at.node == root_) return kEBUSY;
    if (at.name.empty()) return kEINVAL;  // "dir/." or "dir/.."
    if (!at.node->children.empty()) return kENOTEMPTY;
    at.parent->children.erase(at.name);
    return 0;
}

Bytes FileSystem::do_opendir(const Bytes&, const std::string& path) {
    auto fail = [](int error) {
        Bytes out = header(11);
        append32(&out, 0xFFFFFFFF);
        append32(&out, static_cast<std::uint32_t>(error));
        return out;
    };
    Lookup at = lookup(path, true);
    if (at.error) return fail(at.error);
    if (!at.node) return fail(kENOENT);
    if (at.node->type != EfsType::Directory) return fail(kENOTDIR);
    if (handles_.size() >= kMaxHandles) return fail(kEMFILE);
    // The listing is taken now: removing entries while walking it (as a tree delete does)
    // neither skips nor repeats any.
    Handle h;
    h.node = at.node;
    for (const auto& [name, child] : at.node->children) {
        h.listing.push_back(name);
        h.types.push_back(child->type);
    }
    Bytes out = header(11);
    append32(&out, new_handle(std::move(h)));
    append32(&out, 0);
    return out;
}

Bytes FileSystem::do_readdir(const Bytes& r) {
    const std::uint32_t seq = get_le32(&r[8]);
    Bytes out = header(12);
    Handle* h = find_handle(&r[4]);
    if (!h || h->node->type != EfsType::Directory) {
        out.insert(out.end(), r.begin() + 4, r.begin() + 8);
        append32(&out, seq);
        append32(&out, kEBADF);
        for (int i = 0; i < 6; ++i)
            append32(&out, 0);
        out.push_back(0);
        return out;
    }
    if (seq == 0 || seq > h->listing.size()) {
        // End of the listing: bytes 4 to 6 zero, byte 7 not.
        out.insert(out.end(), {0x00, 0x00, 0x00, 0x01});
        append32(&out, seq);
        append32(&out, 0);
        for (int i = 0; i < 6; ++i)
            append32(&out, 0);
        out.push_back(0);
        return out;
    }
    const std::string& name = h->listing[seq - 1];
    const EfsType type = h->types[seq - 1];
    std::uint32_t size = 0;
    auto child = h->node->children.find(name);
    if (child != h->node->children.end()) {
        size = static_cast<std::uint32_t>(child->second->type == EfsType::Link
                                              ? child->second->target.size()
                                              : child->second->data.size());
    }
    out.insert(out.end(), r.begin() + 4, r.begin() + 8);
    append32(&out, seq);
    append32(&out, 0);
    append32(&out, wire_type(type));
    append32(&out, mode_of(type));
    append32(&out, size);
    for (int i = 0; i < 3; ++i)
        append32(&out, 0);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    return out;
}

Bytes FileSystem::do_stat(const Bytes&, const std::string& path) {
    Bytes out = header(15);
    Lookup at = lookup(path, true);
    int error = at.error ? at.error : (at.node ? 0 : kENOENT);
    append32(&out, static_cast<std::uint32_t>(error));
    append32(&out, error ? 0 : mode_of(at.node->type));
    append32(&out, error ? 0 : static_cast<std::uint32_t>(at.node->data.size()));
    append32(&out, 1);
    for (int i = 0; i < 3; ++i)
        append32(&out, 0);
    return out;
}

// --- inspection and host folders ---

EfsType FileSystem::type(const std::string& path) const {
    Lookup at = lookup(path, false);
    return at.node ? at.node->type : EfsType::None;
}

std::optional<Bytes> FileSystem::file(const std::string& path) const {
    Lookup at = lookup(path, false);
    if (!at.node || at.node->type != EfsType::File) return std::nullopt;
    return at.node->data;
}

std::optional<std::string> FileSystem::link_target(const std::string& path) const {
    Lookup at = lookup(path, false);
    if (!at.node || at.node->type != EfsType::Link) return std::nullopt;
    return at.node->target;
}

std::vector<std::string> FileSystem::list(const std::string& dir) const {
    std::vector<std::string> names;
    Lookup at = lookup(dir, true);
    if (!at.node || at.node->type != EfsType::Directory) return names;
    for (const auto& [name, child] : at.node->children)
        names.push_back(name);
    return names;
}

bool FileSystem::put_dir(const std::string& path) {
    NodePtr dir = root_;
    for (const std::string& name : split(path)) {
        auto& slot = dir->children[name];
        if (!slot) {
            slot = std::make_shared<Node>();
            slot->type = EfsType::Directory;
        }
        if (slot->type != EfsType::Directory) return false;
        dir = slot;
    }
    return true;
}

bool FileSystem::put_file(const std::string& path, const Bytes& data) {
    std::size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "/" : path.substr(0, slash);
    if (!put_dir(parent)) return false;
    Lookup at = lookup(path, false);
    if (at.error || !at.parent || (at.node && at.node->type != EfsType::File)) return false;
    auto node = std::make_shared<Node>();
    node->data = data;
    at.parent->children[at.name] = node;
    used_bound_.reset();
    return true;
}

bool FileSystem::put_link(const std::string& path, const std::string& target) {
    std::size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "/" : path.substr(0, slash);
    if (!put_dir(parent)) return false;
    return do_symlink(target, path) == 0;
}

bool FileSystem::load(const std::string& host_dir, std::string* error) {
    used_bound_.reset();
    root_ = std::make_shared<Node>();
    root_->type = EfsType::Directory;
    handles_.clear();
    if (host_dir.empty()) {
        put_dir("/home");
        return true;
    }
    std::error_code ec;
    if (!fs::is_directory(host_dir, ec)) {
        if (error) *error = "not a folder: " + host_dir;
        return false;
    }
    fs::recursive_directory_iterator it(host_dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path rel = fs::relative(it->path(), host_dir, ec);
        if (ec) break;
        const std::string device_path = "/" + rel.generic_string();
        if (it->is_symlink(ec)) {
            put_link(device_path, fs::read_symlink(it->path(), ec).string());
        } else if (it->is_directory(ec)) {
            put_dir(device_path);
        } else if (it->is_regular_file(ec)) {
            std::ifstream in(it->path(), std::ios::binary);
            Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) {
                ec = std::make_error_code(std::errc::io_error);
                break;
            }
            put_file(device_path, data);
        }
    }
    if (ec) {
        if (error) *error = "cannot read " + host_dir + ": " + ec.message();
        return false;
    }
    return true;
}

bool FileSystem::dump(const std::string& host_dir) const {
    std::error_code ec;
    // Only into a new or empty folder: a dump never overwrites what a user keeps there.
    if (fs::exists(host_dir, ec) && !fs::is_empty(host_dir, ec)) return false;
    fs::create_directories(host_dir, ec);
    if (ec) return false;
    std::vector<std::pair<fs::path, const Node*>> todo{{fs::path(host_dir), root_.get()}};
    while (!todo.empty()) {
        auto [dir, node] = todo.back();
        todo.pop_back();
        for (const auto& [name, child] : node->children) {
            const fs::path target = dir / name;
            switch (child->type) {
                case EfsType::Directory:
                    fs::create_directory(target, ec);
                    todo.emplace_back(target, child.get());
                    break;
                case EfsType::Link:
                    fs::create_symlink(child->target, target, ec);
                    break;
                default: {
                    std::ofstream out(target, std::ios::binary | std::ios::trunc);
                    out.write(reinterpret_cast<const char*>(child->data.data()),
                              static_cast<std::streamsize>(child->data.size()));
                    if (!out) return false;
                    break;
                }
            }
            if (ec) return false;
        }
    }
    return true;
}

}  // namespace emu
