#include "core/bugcheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/scheduler.h"

namespace platform {

void bug_check(bug_code code, std::string_view what, std::uint64_t p1, std::uint64_t p2,
               std::uint64_t p3, std::uint64_t p4) {
    std::string text(what);
    std::fprintf(stderr,
                 "\n*** BUG CHECK 0x%08X: %s\n*** parameters: 0x%llx 0x%llx 0x%llx 0x%llx\n",
                 static_cast<unsigned>(code), text.c_str(), static_cast<unsigned long long>(p1),
                 static_cast<unsigned long long>(p2), static_cast<unsigned long long>(p3),
                 static_cast<unsigned long long>(p4));
    // In the deterministic mode: the seed, and the command that runs the same order again.
    std::string note = scheduler::replay_note();
    if (!note.empty()) {
        std::fprintf(stderr, "*** %s\n", note.c_str());
    }
    std::fflush(stderr);
    std::abort();
}

void not_implemented(std::string_view routine) {
    bug_check(bug_code::missing_routine,
              std::string("routine not implemented by the platform: ") + std::string(routine));
}

}  // namespace platform
