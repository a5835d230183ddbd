// client-e: a program that gives up on a client-id control the modem is slow to answer.
#include "clients.h"

namespace vraxsim::programs {

void cancelling_client(call_log& log) {
    vrax_client c(log);
    std::uint16_t words[4];
    std::uint8_t id = 0;
    if (!c.open() || !c.bind(2, 0, words)) {
        return;
    }
    auto o = c.start_get_client_id(2);
    if (!o) {
        return;
    }
    Sleep(500);  // the program gives up after half a second
    c.cancel(*o);
    c.finish(*o);
    // The session's abort stays set: the next deferred control ends at once.
    c.get_client_id(2, id);
    Sleep(3000);  // keeps its handle while the late answers arrive
}

}  // namespace vraxsim::programs
