#include "base/sha256.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

// The known answers of the standard's examples; a million bytes cross many read chunks.
TEST(Sha256, GivesTheKnownDigests) {
    Sha256 abc;
    abc.update("abc", 3);
    const Sha256Digest digest = abc.finish();
    EXPECT_TRUE(abc.ok());
    EXPECT_EQ(to_hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("fwup-sha256-" + std::to_string(std::random_device{}()));
    { std::ofstream(path, std::ios::binary) << std::string(1000000, 'a'); }
    std::string hex;
    int error = 0;
    const bool read = sha256_file(path.string(), &hex, &error);
    std::filesystem::remove(path);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_FALSE(sha256_file(path.string(), &hex, &error));
    EXPECT_NE(error, 0);
}

}  // namespace
