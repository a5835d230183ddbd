// client-a: the whole round trip of one program on service 1, bind, version words, client
// id, a request and its answer, then (in the full story) a read left waiting for a broadcast.
#include "clients.h"

namespace vraxsim::programs {

void client_a(call_log& log, bool wait_for_broadcast, const sync_point& waiting) {
    vrax_client c(log);
    if (!c.open()) {
        return;
    }
    std::uint16_t words[4];
    std::uint8_t id = 0;
    byte_vector answer;
    if (!c.bind(1, 0, words)) {
        return;
    }
    if (c.get_client_id(1, id)) {
        if (!c.write(service_request({0xAA, 0xBB})) || !c.read(512, answer)) {
            return;
        }
    }
    // A broadcast reaches every session bound to the service, with a client id or without.
    if (wait_for_broadcast && c.start_read(512)) {
        waiting();
        c.finish_read(answer);
    }
}

}  // namespace vraxsim::programs
