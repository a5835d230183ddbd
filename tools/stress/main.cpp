// vraxstress: the stress run with its oracle (stress_run.h). Exit status 0 when nothing was
// lost, duplicated, misdelivered or left pending and the final check is clean; 1 otherwise;
// 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/scheduler.h"
#include "stress_run.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: vraxstress [--clients N] [--messages M] [--port-loss-every K]\n"
                 "                  [--seed S] [--kernel-clients C] [--kill-every F] [--quiet]\n"
                 "  N programs and C kernel clients (at most %u) write M requests each; the modem\n"
                 "  closes the channel every K frames (0: never) and a program is killed every F\n"
                 "  frames (default 5 x K). Defaults: N=64, M=100000, K=1000, C=4, S=1.\n",
                 stress::max_kernel_clients);
}

bool number(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("vraxstress");
    stress::options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quiet") {
            o.progress = false;
            continue;
        }
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        }
        std::uint64_t v = 0;
        if (i + 1 >= argc || !number(argv[i + 1], v)) {
            usage();
            return 2;
        }
        ++i;
        if (a == "--clients" && v > 0 && v <= 1000)
            o.clients = static_cast<unsigned>(v);
        else if (a == "--messages" && v > 0)
            o.messages = v;
        else if (a == "--port-loss-every")
            o.port_loss_every = v;
        else if (a == "--seed")
            o.seed = v;
        else if (a == "--kernel-clients" && v <= stress::max_kernel_clients)
            o.kernel_clients = static_cast<unsigned>(v);
        else if (a == "--kill-every")
            o.kill_every = v;
        else {
            usage();
            return 2;
        }
    }
    const stress::result r = stress::run(o);
    stress::print_summary(stdout, o, r);
    return r.ok() ? 0 : 1;
}
