// Runs a driver we did not write with its own test program: boots a machine, installs the
// driver, runs the program as a process with its arguments, and prints one verdict line.
//
//     runner [options] [--] [program arguments]
//       --service NAME        the driver's service name (its INF's AddService)   [ECHO]
//       --hardware-id ID      the root-enumerated device it serves               [root\ECHO]
//       --mode NAME           what the verdict line calls this run               [the arguments]
//       --sleep-at MS         sleep the device (S3, D3) MS ms after the program starts
//       --resume-after MS     resume it MS ms after the sleep                    [5000]
//       --interrupt-at MS     deliver Ctrl-C to the program MS ms after it starts
//       --wall-clock          real time instead of virtual time
//
// The verdict line:
//     RESULT <mode> | program: passed (exit 0) | virtual 1234 ms | real 56 ms | final check: clean
// The runner's exit status is 0 when the program exited with 0 and the final check was clean.
#pragma once

#include <ntddk.h>

namespace sim::runner {

using program_main = int (*)(int argc, char** argv);

int run_foreign(int argc, char** argv, PDRIVER_INITIALIZE entry, program_main program);

}  // namespace sim::runner
