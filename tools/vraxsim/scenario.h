// The main job's scenarios, kept apart from main() so a test can run them and read the
// transcript. The programs they run are in programs/ (Win32 and include/vrax/ only).
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "transcript.h"

namespace vraxsim {

// The account the programs run under (the token of their processes).
enum class account { user, administrator, local_system };

struct scenario_options {
    bool wall_clock = false;
    bool quiet = false;
    std::string scenario = "full";
    account programs = account::administrator;
    std::string fault;  // empty: none; otherwise one of faults()
    std::string chart;  // when set, the SVG sequence chart is written to this file
};

// A name an option takes, with one line saying what it does.
struct choice {
    const char* name;
    const char* what;
};
std::span<const choice> scenarios();
std::span<const choice> faults();
std::span<const choice> accounts();
// The account named `name` ("user", "administrator", "LocalSystem"); false if none.
bool parse_account(const std::string& name, account& out);

// Runs the scenario, printing to stdout (nothing but failures when quiet). Returns the
// number of failed expectations (an unknown scenario or fault counts as one); `out`, when
// given, receives the transcript's lines.
int run_scenario(const scenario_options& options, transcript* out = nullptr);

}  // namespace vraxsim
