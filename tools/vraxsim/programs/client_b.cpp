// client-b: a second program on service 1 that never asks for a client id and waits in a
// read for what the modem sends to every client of the service.
#include "clients.h"

namespace vraxsim::programs {

void client_b(call_log& log, const sync_point& waiting) {
    vrax_client c(log);
    std::uint16_t words[4];
    byte_vector message;
    if (!c.open()) {
        return;
    }
    c.bind(255, 0, words);  // no such service type: refused
    if (c.bind(1, 0, words) && c.start_read(512)) {
        waiting();
        c.finish_read(message);
    }
}

}  // namespace vraxsim::programs
