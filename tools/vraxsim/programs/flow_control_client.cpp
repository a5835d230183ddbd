// client-f: a program that writes faster than the modem answers. The session lets 15 writes
// be outstanding; the 16th waits until the program reads a message of type 2.
#include <vector>

#include "clients.h"

namespace vraxsim::programs {

void flow_control_client(call_log& log, const sync_point& held, const sync_point& indication_read) {
    vrax_client c(log);
    std::uint16_t words[4];
    std::uint8_t id = 0;
    byte_vector message;
    if (!c.open() || !c.bind(1, 0, words) || !c.get_client_id(1, id)) {
        return;
    }
    std::vector<vrax_client::op> writes;
    for (std::uint8_t i = 1; i <= 16; ++i) {
        auto o = c.start_write(service_request({i}));
        if (!o) {
            return;
        }
        writes.push_back(*o);
    }
    for (std::size_t i = 0; i < 15; ++i) {
        c.finish(writes[i]);
    }
    Sleep(100);
    c.poll(writes[15]);
    held();
    c.read(512, message);  // an indication: type 4 releases nothing
    Sleep(100);
    c.poll(writes[15]);
    indication_read();
    c.read(512, message);  // an answer: type 2 releases one write
    c.finish(writes[15]);
}

}  // namespace vraxsim::programs
