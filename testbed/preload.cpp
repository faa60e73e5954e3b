#include "testbed/preload.h"

#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace testbed {

namespace {

constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
constexpr const char* kMarker = "FWUP_TESTBED_PRELOADED";
// Set to anything non-empty: the mocked ports' reads and writes go through umockdev's socket as
// they would without the library below, to compare the two.
constexpr const char* kSocketIo = "FWUP_TESTBED_SOCKET_IO";

// testbed/mocked_port_io.cpp, built beside this; it has to come before umockdev's preload.
std::string mocked_port_io() {
    const char* off = std::getenv(kSocketIo);
    if ((off && *off) || ::access(FWUP_MOCKED_PORT_IO, R_OK) != 0) return {};
    return FWUP_MOCKED_PORT_IO;
}

// The sanitizer runtime this binary loaded, if any: it has to be the first preloaded library.
std::string asan_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "/libasan.so")) {
                *static_cast<std::string*>(out) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

}  // namespace

bool under_preload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

void reexec_under_preload(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return;
    // The marker keeps a loader that drops LD_PRELOAD from re-executing us forever.
    if (under_preload() || std::getenv(kMarker)) return;

    std::string preload = asan_runtime();
    if (!preload.empty()) preload += ':';
    if (const std::string io = mocked_port_io(); !io.empty()) preload += io + ':';
    preload += kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kMarker, "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("testbed: re-executing under the umockdev preload");
    std::_Exit(127);
}

}  // namespace testbed
