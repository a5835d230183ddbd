// Framework timers (WDFTIMER) over a kernel timer and DPC, as FxTimer is built.
//
// Serialisation: a timer created with AutomaticSerialization under a parent whose
// synchronisation scope is the queue or the device takes that scope's callback lock around
// EvtTimerFunc (FxTimer::TimerHandler, FxObject::_GetEffectiveLock). `callback_lock_of` is
// the one place that finds that lock.
#pragma once

#include <wdf.h>

#include "wdf/fx_object.h"

namespace platform::wdf {

// The lock a synchronisation scope gives the callbacks it serialises (the queue's or the
// device's presentation lock), as a timer callback takes it.
class callback_lock {
  public:
    virtual void acquire() = 0;
    virtual void release() = 0;

  protected:
    ~callback_lock() = default;
};

// The callback lock of `owner` (the queue, file object or device whose constraints apply to
// a serialised timer), or null when it has none. Synchronisation scopes are built with the
// queues: until they are, no object has a callback lock and a serialised timer serialises
// nothing. The scopes replace this function's definition (in fx_timer.cpp).
callback_lock* callback_lock_of(fx_object* owner);

}  // namespace platform::wdf
