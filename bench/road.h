// The whole road of an upgrade with a package of a realistic size (64 MiB amss.mbn, 32 MiB
// image.iso, 500 more home files of 1 to 64 KiB in 40 folders), the program against the emulated
// modem on the mocked USB bus with its real timings: the time of each stage beside its physical
// minimum (its bytes over the line's ceiling, the fixed pauses of the program, the device's
// absences), and the whole run's ratio to the sum of the minima.
#pragma once

namespace bench {

// The line's ceiling as the bare pair measured it just before.
struct RoadCeiling {
    double stream_us_per_block = 0;  // a 512-byte stream write and its answer
    double efs_write_us = 0;         // an EFS write with 512 bytes and its answer
    double efs_read_us = 0;          // an EFS read and its answer with 512 bytes
    double efs_other_us = 0;         // any other short DIAG exchange
};

// Must run under the mocked bus's preload (testbed::reexec_under_preload). 0 when the run
// succeeded and the modem holds the package, else 1.
int run_road(const RoadCeiling& ceiling, bool quick);

}  // namespace bench
