// The settings reader on any file content: every read stays within the caller's buffer and
// returns what it copied; a number read never overflows; writing a key and reading it back gives
// what was written, and leaves every other section's keys as they read before.
#include <climits>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "fuzz/support/answer_script.h"
#include "fuzz/support/fuzz_check.h"

namespace {

const char* const kSections[] = {"Device", "dev", "", " Device ", "[x]"};
const char* const kKeys[] = {"Port", "PORT", "", "a=b", "reset"};

void write_content(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file && std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
}

std::string read_value(const char* section, const char* key, const std::string& path) {
    char out[40];
    std::memset(out, 'X', sizeof out);
    const int n = get_profile_string(section, key, "def ", out, 32, path);
    FUZZ_CHECK(n >= 0 && n < 32 && out[n] == '\0' && std::strlen(out) == static_cast<size_t>(n));
    FUZZ_CHECK(out[32] == 'X');  // nothing past the size given
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz_folder() + "/settings.ini";
    write_content(path, data, size);
    // Each file read costs a file opening: a few pairs rather than every combination.
    const std::size_t pick = size ? data[0] : 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const char* section = kSections[(pick + i) % 5];
        const char* key = kKeys[(pick / 5 + i) % 5];
        read_value(section, key, path);
        const int number = get_profile_int(section, key, 7, path);
        FUZZ_CHECK(number >= INT_MIN && number <= INT_MAX);
    }
    const std::string other_before = read_value("Other", "Port", path);
    FUZZ_CHECK(write_profile_string("Device", "Port", "v 1", path));
    FUZZ_CHECK(read_value("Device", "Port", path) == "v 1");
    FUZZ_CHECK(read_value("Other", "Port", path) == other_before);
    return 0;
}
