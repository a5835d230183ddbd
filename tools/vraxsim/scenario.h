// The main job's scenario, kept apart from main() so a test can run it and read the
// transcript. The programs it runs are in programs.h (Win32 and include/vrax/ only).
#pragma once

#include <cstdio>

#include "transcript.h"

namespace vraxsim {

struct scenario_options {
    bool wall_clock = false;
    bool quiet = false;
};

// Runs the scenario, printing to stdout (nothing but failures when quiet). Returns the
// number of failed expectations; `out`, when given, receives the transcript's lines.
int run_scenario(const scenario_options& options, transcript* out = nullptr);

}  // namespace vraxsim
