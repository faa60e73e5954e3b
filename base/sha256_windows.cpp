#include <windows.h>

#include <bcrypt.h>

#include <limits>

#include "base/sha256.h"

// The system's provider, opened once per hash: a hash is made per file, not per block.
struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        state_->algorithm = nullptr;
        state_->failed = true;
        return;
    }
    if (!succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
        state_->hash = nullptr;
        state_->failed = true;
    }
}

Sha256::~Sha256() {
    if (state_->hash) BCryptDestroyHash(state_->hash);
    if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

bool Sha256::ok() const {
    return !state_->failed;
}

void Sha256::update(const void* data, std::size_t size) {
    if (state_->failed) return;
    // BCryptHashData takes a ULONG count: a larger block goes in parts.
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    constexpr std::size_t kLargest = std::numeric_limits<ULONG>::max();
    while (size > 0) {
        const std::size_t part = size < kLargest ? size : kLargest;
        if (!succeeded(BCryptHashData(state_->hash, bytes, static_cast<ULONG>(part), 0))) {
            state_->failed = true;
            return;
        }
        bytes += part;
        size -= part;
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    if (!state_->failed && !succeeded(BCryptFinishHash(state_->hash, digest.data(),
                                                       static_cast<ULONG>(digest.size()), 0)))
        state_->failed = true;
    return digest;
}
