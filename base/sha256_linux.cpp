#include <nettle/sha2.h>

#include "base/sha256.h"

struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    sha256_init(&state_->context);
}

Sha256::~Sha256() = default;

bool Sha256::ok() const {
    return true;
}

void Sha256::update(const void* data, std::size_t size) {
    sha256_update(&state_->context, size, static_cast<const std::uint8_t*>(data));
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    sha256_digest(&state_->context, digest.size(), digest.data());
    return digest;
}
