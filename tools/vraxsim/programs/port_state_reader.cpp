// A program bound to one service that reads the port-state notifications the driver posts
// to its session: port lost, port ready.
#include "clients.h"

namespace vraxsim::programs {

void port_state_reader(call_log& log, std::uint32_t service, int reads, const sync_point& waiting) {
    vrax_client c(log);
    std::uint16_t words[4];
    byte_vector note;
    if (!c.open() || !c.bind(service, 0, words)) {
        return;
    }
    // The port-ready notification its first bind stored (the service's word 2 is not 0).
    auto stored = c.start_read_notification();
    if (!stored || !c.finish(*stored, &note)) {
        return;
    }
    for (int i = 0; i < reads; ++i) {
        auto o = c.start_read_notification();
        if (!o) {
            return;
        }
        waiting();
        if (!c.finish(*o, &note)) {
            return;
        }
    }
}

}  // namespace vraxsim::programs
