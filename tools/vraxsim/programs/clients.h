// The programs vraxsim runs, each as the main function of a user-mode process: plain Win32
// and the public headers in include/vrax/ through the client calls of vrax_client.h, nothing of
// the machine (scripts/check-win32-programs.sh builds every file here against mingw-w64's
// Windows headers). What a program is given is all it knows of vraxsim:
//
//   - a call_log, where each of its calls and results goes (vraxsim's sink and clock);
//   - sync points: callbacks it calls, without blocking, when it has reached a place the
//     account waits for (a read is pending, its event is registered). The account learns
//     everything else, the client id it was granted among it, from the call log.
//
//     process->run([&log, &waiting] {
//         vraxsim::programs::client_a(log.log(), true, [&waiting] { waiting = true; });
//     });
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "vrax_client.h"

namespace vraxsim::programs {

// Called by a program's own thread at a point the account waits for; must not block.
using sync_point = std::function<void()>;

// Opens \\.\VRAX for reading and writing and closes the handle again. False, with
// GetLastError() in `error`, when the open failed. Logs nothing: the account tells the
// result itself.
bool open_and_close(DWORD& error);

// client-a: binds to service 1 on port 0, gets a client id, writes a request and reads its
// answer. With `wait_for_broadcast` it then starts one more read, calls `waiting` and waits
// for that read; it also does so when it got no client id, since a broadcast needs none.
void client_a(call_log& log, bool wait_for_broadcast, const sync_point& waiting);

// client-b: a bind to service type 255 (refused), then a bind to service 1 with no client
// id; it starts a read, calls `waiting` and waits for that read (the broadcast).
void client_b(call_log& log, const sync_point& waiting);

// The watcher: creates the named event `Global\<event_name>` (manual reset, not signalled),
// has the driver register `<event_name>` twice (the same slot both times), closes its
// handle of \\.\VRAX, calls `registered`, then waits on the event for an hour of machine
// time (only the ports' shut-down sets it) and closes it.
void ports_down_watcher(call_log& log, const char* event_name, const sync_point& registered);

// A program bound to `service` on port 0 that reads port-state notifications: first the one
// its bind stored, then `reads` more, calling `waiting` as each of those is pending.
void port_state_reader(call_log& log, std::uint32_t service, int reads, const sync_point& waiting);

// client-e: binds to service 2, starts a client-id control, gives up on it after half a
// second with CancelIoEx, then asks once more (the session's abort stays set, so that one
// fails at once) and keeps its handle for 3 s while the late answers arrive.
void cancelling_client(call_log& log);

// client-f: binds to service 1, gets a client id and starts 16 writes while the modem
// answers none of them; 15 complete and the 16th waits in the session's backlog. It polls
// the 16th after 100 ms and calls `held`; reads one message (the account sends an
// indication, type 4), polls again after 100 ms and calls `indication_read`; reads one more
// (an answer, type 2) and waits for the 16th write.
void flow_control_client(call_log& log, const sync_point& held, const sync_point& indication_read);

}  // namespace vraxsim::programs
