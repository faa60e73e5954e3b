// Linked into test builds, the emulator and the testbed only, never into the shipped program: the
// real clock's divisor from the environment variable FWUP_TIME_DIVISOR, so that their runs wait a
// fraction of the real times. The variable is read at the clock's first use, so a test's main may
// still set it before.
#include <cstdlib>

#include "base/clock.h"

namespace {

int divisor_from_environment() {
    const char* text = std::getenv("FWUP_TIME_DIVISOR");
    if (!text || !*text) return 1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 1000) return 1;
    return static_cast<int>(value);
}

[[maybe_unused]] const bool installed = (set_divisor_source(&divisor_from_environment), true);

}  // namespace
