// vraxsim: boots a simulated machine with VRAX installed, runs a scenario and prints what
// happened, section by section: the machine's actions and their statuses, what the driver
// built, the modem emulator on port 0 and every frame each way decoded on one line, a
// kernel-mode client driver and user-mode programs with each call and its result, a port
// loss and the re-open, and the driver's trace records decoded.
//
//     vraxsim                 the full scenario, virtual time
//     vraxsim --wall-clock    the same in real time
//     vraxsim --quiet         print only failed expectations and the summary
#include <cstdio>
#include <cstring>
#include <string>

#include "core/scheduler.h"
#include "scenario.h"

int main(int argc, char** argv) {
    vraxsim::scenario_options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wall-clock") == 0) {
            options.wall_clock = true;
        } else if (std::strcmp(argv[i], "--quiet") == 0) {
            options.quiet = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: vraxsim [--wall-clock] [--quiet]\n");
            return 0;
        } else {
            std::fprintf(stderr, "vraxsim: unknown option %s (try --help)\n", argv[i]);
            return 2;
        }
    }
    // Line-buffered, so everything printed so far survives a bug check.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    platform::scheduler::get().adopt_current_thread("vraxsim");
    return vraxsim::run_scenario(options) == 0 ? 0 : 1;
}
