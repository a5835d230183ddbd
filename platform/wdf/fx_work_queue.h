// The system work queue framework work items run from. A test (or the machine) can pause
// it to hold queued work items back, e.g. to see what the driver does while its work is
// still waiting for a worker thread; queued items run once it is resumed. Flushing or
// deleting a work item that is held back waits until the queue is resumed.
#pragma once

#include <cstddef>

namespace platform::wdf {

void pause_work_items(bool paused);
// Work items waiting for a worker thread.
std::size_t queued_work_items();

}  // namespace platform::wdf
