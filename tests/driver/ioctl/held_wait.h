// A stand-in for the deferred controls' wait (WaitForAnswer) that waits as the driver does,
// then, when a test has asked for it, holds the work item between the end of its wait and
// the take-back of its request, so that a cancel can be placed exactly there.
#pragma once

#include <functional>

#include "ioctl/deferred_work.h"

namespace held_wait {

// Called on the work item's thread once its wait has ended, with how it ended; the routine
// goes on when this returns. Empty: nothing is held.
void set_after_wait(std::function<void(VRAX_ANSWER)> hook);

// The test's side of a hold: wait until a work item is held, release it.
void wait_until_held();
void release();
// For set_after_wait: marks the work item held and blocks until release().
void hold();

}  // namespace held_wait
