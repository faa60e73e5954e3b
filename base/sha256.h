// SHA-256 from the platform's own well-kept implementation: Nettle on Linux, the system's CNG
// (BCrypt) on Windows, so the static Windows program needs no library beside it. One file per
// platform implements Sha256 (sha256_linux.cpp, sha256_windows.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once the system failed to hash (Windows only): the digest is then worth nothing.
    bool ok() const;
    void update(const void* data, std::size_t size);
    // The digest of everything given so far; the object takes nothing more after it.
    Sha256Digest finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Lowercase hex, as sha256sum writes it.
std::string to_hex(const Sha256Digest& digest);

// The SHA-256 of the file at path as lowercase hex, read in chunks so that memory stays flat
// whatever its size. False when it cannot be opened or read (*error gets errno, 0 when the system
// gave no hash).
bool sha256_file(const std::string& path, std::string* hex, int* error);
