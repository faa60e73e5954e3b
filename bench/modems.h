// Several modems at once: the shipped program upgrading 1, 2 and 4 emulated modems on the mocked
// USB bus with its real timings, each modem with the sealed sample package, and the wall time of
// each beside the time of one.
#pragma once

#include <string>

namespace bench {

// Must run under the mocked bus's preload (testbed::reexec_under_preload). Each count of modems is
// run repeat times and its shortest run kept; csv, when not empty, receives a row per count. 0
// when every run ended in success with every modem holding the package, else 1.
int run_modems(int repeat, const std::string& csv);

}  // namespace bench
