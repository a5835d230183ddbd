// vraxsim: boots a simulated machine with VRAX installed, runs a scenario and prints what
// happened, section by section: the machine's actions and their statuses, what the driver
// built, the modem emulator on port 0 and every frame each way decoded on one line, a
// kernel-mode client driver and user-mode programs with each call and its result, a port
// loss and the re-open, and the driver's trace records decoded. Try --help.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/scheduler.h"
#include "scenario.h"

namespace {

void print_choices(const char* title, std::span<const vraxsim::choice> list) {
    std::printf("\n%s\n", title);
    for (const auto& c : list) {
        std::printf("  %-16s %s\n", c.name, c.what);
    }
}

void usage() {
    std::printf(
        "usage: vraxsim [--scenario NAME] [--account NAME] [--fault NAME] [--chart FILE.svg]\n"
        "               [--wall-clock] [--quiet]\n"
        "\n"
        "Boots a simulated machine with VRAX, the SMD channel driver and a modem emulator on\n"
        "port 0, runs a scenario and prints a transcript in numbered sections: each program's\n"
        "calls with their results (Win32 errors by name), every frame decoded on one line with\n"
        "its direction, and the driver's trace. Exit status 0 when every expectation held, 1\n"
        "when one failed, 2 for a usage error.\n"
        "\n"
        "  --scenario NAME   which story to run (default: full)\n"
        "  --account NAME    the account the programs run under (default: administrator)\n"
        "  --fault NAME      a fault client-a's client-id control meets (full and basic)\n"
        "  --chart FILE      also write the run as an SVG message sequence chart\n"
        "  --wall-clock      real time instead of virtual time\n"
        "  --quiet           print only failed expectations and the summary\n"
        "  -h, --help        this text\n");
    print_choices("scenarios:", vraxsim::scenarios());
    print_choices("accounts:", vraxsim::accounts());
    print_choices("faults:", vraxsim::faults());
}

bool known(std::span<const vraxsim::choice> list, const std::string& name) {
    for (const auto& c : list) {
        if (name == c.name) {
            return true;
        }
    }
    return false;
}

int usage_error(const std::string& text) {
    std::fprintf(stderr, "vraxsim: %s (try --help)\n", text.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vraxsim::scenario_options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // --name VALUE or --name=VALUE
        auto value_of = [&](const char* name, std::string& value) {
            const std::string with_equals = std::string(name) + "=";
            if (arg == name) {
                if (i + 1 >= argc) {
                    return -1;
                }
                value = argv[++i];
                return 1;
            }
            if (arg.rfind(with_equals, 0) == 0) {
                value = arg.substr(with_equals.size());
                return 1;
            }
            return 0;
        };
        std::string value;
        int r = 0;
        if (arg == "--wall-clock") {
            options.wall_clock = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else if ((r = value_of("--scenario", value)) != 0) {
            if (r < 0 || !known(vraxsim::scenarios(), value)) {
                return usage_error(r < 0 ? "--scenario needs a name"
                                         : "no scenario named \"" + value + "\"");
            }
            options.scenario = value;
        } else if ((r = value_of("--account", value)) != 0) {
            if (r < 0 || !vraxsim::parse_account(value, options.programs)) {
                return usage_error(r < 0 ? "--account needs a name"
                                         : "no account named \"" + value + "\"");
            }
        } else if ((r = value_of("--fault", value)) != 0) {
            if (r < 0 || !known(vraxsim::faults(), value)) {
                return usage_error(r < 0 ? "--fault needs a name"
                                         : "no fault named \"" + value + "\"");
            }
            options.fault = value;
        } else if ((r = value_of("--chart", value)) != 0) {
            if (r < 0 || value.empty()) {
                return usage_error("--chart needs a file name");
            }
            options.chart = value;
        } else {
            return usage_error("unknown option " + arg);
        }
    }
    if (!options.fault.empty() && options.scenario != "full" && options.scenario != "basic") {
        return usage_error("--fault applies to the full and basic scenarios");
    }
    // Line-buffered, so everything printed so far survives a bug check.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    platform::scheduler::get().adopt_current_thread("vraxsim");
    return vraxsim::run_scenario(options) == 0 ? 0 : 1;
}
