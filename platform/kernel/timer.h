// The kernel's timer queue and DPC queue, as the rest of the platform sees them.
//
// One platform thread ("dpc") expires timers and runs DPC routines. It exists while a timer
// is set or a DPC is queued, and blocks through the scheduler with the earliest due time as
// its deadline, so virtual time advances to that due time when every other thread is blocked.
// DPC routines run on it at DISPATCH_LEVEL, one at a time, in queue order; each driver DPC
// routine runs inside a verifier::driver_call ("DPC routine").
#pragma once

#include <wdm.h>

#include <cstddef>

namespace platform::kernel::timers {

// A DPC of the platform itself (the framework's timer thunk): its routine is platform code,
// so it runs without the driver-call guard; the driver callbacks it makes carry their own.
// Call before the DPC is first queued; forget it before its memory goes.
void mark_platform_dpc(PKDPC dpc);
void forget_platform_dpc(PKDPC dpc);

// Timers set and DPCs queued right now (tests and the final check).
std::size_t set_timer_count();
std::size_t queued_dpc_count();

}  // namespace platform::kernel::timers
