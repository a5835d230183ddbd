// The watcher: a program that wants to know when the ports go down. It creates a named
// event, has the driver register it, lets go of the device and waits on the event.
#include <string>

#include "clients.h"

namespace vraxsim::programs {

void ports_down_watcher(call_log& log, const char* event_name, const sync_point& registered) {
    // The driver opens \BaseNamedObjects\<name>, which a program reaches as Global\<name>.
    HANDLE event = create_named_event(log, std::string("Global\\") + event_name);
    if (event == nullptr) {
        return;
    }
    {
        vrax_client c(log);
        std::int64_t first = 0;
        std::int64_t second = 0;
        if (!c.open()) {
            close_event(log, event);
            return;
        }
        c.register_event(event_name, first);
        c.register_event(event_name, second);  // the same name again: the same slot
        c.close();
    }
    registered();
    // An hour of machine time: only the shutdown ends this wait.
    wait_for_event(log, event, 3600u * 1000u);
    close_event(log, event);
}

}  // namespace vraxsim::programs
