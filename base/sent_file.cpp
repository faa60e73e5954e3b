#include "base/sent_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/log_sink.h"
#include "base/sha256.h"

namespace {

// Read ahead per chunk: a file up to this size is judged before any of it is handed out.
constexpr std::size_t kReadAhead = 64 * 1024;

// The listed name of path and its digest; false when path is not a listed file of the package.
bool listed(ExpectedDigests& state, const std::string& path, std::string* name,
            std::string* digest) {
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.digests.empty() || path.compare(0, state.folder.size(), state.folder) != 0)
        return false;
    // Callers join paths with the platform's separator; the list has '/' alone (and no name of
    // a sealed package holds a '\\').
    std::string relative = path.substr(state.folder.size());
    for (char& c : relative)
        if (c == '\\') c = '/';
    const auto found = state.digests.find(relative);
    if (found == state.digests.end()) return false;
    *name = found->first;
    *digest = found->second;
    return true;
}

void remember_change(ExpectedDigests& state, const std::string& reason) {
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.changed.empty()) state.changed = reason;
}

}  // namespace

void expect_package_digests(LogSink& log, const std::string& folder,
                            std::map<std::string, std::string> digests) {
    ExpectedDigests& state = log.expected_digests();
    std::lock_guard<std::mutex> hold(state.lock);
    state.folder = folder;
    state.digests = std::move(digests);
    state.changed.clear();
}

std::string changed_package_file(LogSink& log) {
    ExpectedDigests& state = log.expected_digests();
    std::lock_guard<std::mutex> hold(state.lock);
    return state.changed;
}

SentFile::SentFile(LogSink& log) : log_(log) {}

SentFile::~SentFile() {
    if (file_) std::fclose(file_);
}

bool SentFile::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) return false;
    if (listed(log_.expected_digests(), path, &name_, &digest_)) hash_ = std::make_unique<Sha256>();
    chunk_.resize(kReadAhead);
    return true;
}

void SentFile::judge() {
    const bool hashed = hash_->ok();
    const std::string digest = to_hex(hash_->finish());
    if (hashed && hash_->ok() && digest == digest_) return;
    failed_ = true;
    if (!hashed || !hash_->ok()) {
        log_.tell_reason("%s: cannot be checked: the system gave no SHA-256", name_.c_str());
        return;
    }
    changed_ = true;
    const std::string reason =
        name_ + ": changed since the package check: its SHA-256 is not the one in " + kSumsFile;
    log_.tell_reason("%s", reason.c_str());
    remember_change(log_.expected_digests(), reason);
}

void SentFile::fill() {
    at_ = filled_ = 0;
    if (!file_ || source_ended_ || failed_) return;
    const std::size_t got = std::fread(chunk_.data(), 1, chunk_.size(), file_);
    if (std::ferror(file_)) {
        error_ = errno ? errno : EIO;
        failed_ = true;
        return;
    }
    if (hash_) hash_->update(chunk_.data(), got);
    source_ended_ = got < chunk_.size();
    // Nothing of the last chunk is handed out before the whole file is judged.
    if (source_ended_ && hash_) judge();
    if (!failed_) filled_ = got;
}

std::size_t SentFile::read(void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t given = 0;
    while (given < size && !failed_) {
        if (at_ == filled_) fill();
        if (at_ == filled_) break;
        const std::size_t take = std::min(size - given, filled_ - at_);
        std::memcpy(out + given, chunk_.data() + at_, take);
        at_ += take;
        given += take;
    }
    if (failed_) return 0;
    if (given < size) ended_ = true;
    return given;
}

int SentFile::get() {
    unsigned char byte = 0;
    return read(&byte, 1) == 1 ? byte : EOF;
}

std::string SentFile::failure() const {
    if (changed_) return "changed since the package check";
    return error_ ? std::strerror(error_) : "no SHA-256";
}

bool SentFile::judge_rest() {
    if (!hash_) return !failed_;  // nothing to judge: the rest is not read
    while (file_ && !source_ended_ && !failed_)
        fill();
    return !failed_;
}

void SentFile::rewind() {
    if (!file_ || changed_) return;
    std::rewind(file_);
    if (hash_) hash_ = std::make_unique<Sha256>();
    at_ = filled_ = 0;
    source_ended_ = ended_ = failed_ = false;
    error_ = 0;
}
