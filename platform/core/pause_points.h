// Pause points. Where fault injection makes a routine fail, a pause point makes the thread
// that reaches it wait there until the test lets it go, so a test chooses the order of a race
// instead of hoping for it. A point is reached by name, as fault points are: the exported
// routine's name at its entry ("WdfRequestComplete", "KeSetEvent"), or the name of a place
// inside the platform where it calls the driver or changes a request's fate:
//
//   WdfRequestComplete, WdfRequestCompleteWithInformation, WdfRequestCompleteWithPriorityBoost
//   WdfRequestMarkCancelable, WdfRequestMarkCancelableEx, WdfRequestUnmarkCancelable
//                        at entry, before anything is checked or changed (object: the request)
//   IoCancelIrp          at entry of an IRP cancel, before Irp->Cancel is set (object: the IRP)
//   irp-cancel-routine   the cancel has taken the IRP's cancel routine and not run it yet: for
//                        a driver-owned cancelable request, WdfRequestUnmarkCancelable now
//                        returns STATUS_CANCELLED (object: the IRP)
//   cancel-routine       the framework is about to call the driver's EvtRequestCancel, on the
//                        thread that runs the queue's loop (object: the request)
//   KeSetEvent           at entry (object: the event)
//   KeWaitForSingleObject, KeWaitForMultipleObjects
//                        at entry, before the wait is tested (object: the first object)
//   WdfWorkItemEnqueue   at entry (object: the work item)
//   work-item            on the worker, before the driver's EvtWorkItem (object: the item)
//   WdfWaitLockAcquire   at entry, before the lock is tried (object: the wait lock)
//   WdfWaitLockRelease   at entry, before the handle is checked: the lock is still held, and
//                        may have been deleted meanwhile (object: the wait lock)
//   io-target-completion a request the driver sent through an I/O target has completed; its
//                        outcome has not reached the driver yet (no completion routine, no
//                        synchronous sender woken) (object: the request)
//   io-completion        the I/O manager is completing a request a program sent; the program
//                        has not been told yet (no output copied, no status block written,
//                        no event set) (object: the IRP)
//
// A hold names a point (a trailing '*' matches every point with that prefix) and, optionally,
// which arrival to take: the n-th one from now that concerns `object` and passes `filter`.
// That thread blocks through the scheduler, as every wait does, so it is a known blocked
// thread: virtual time moves on without it (a time-out elsewhere can fire while it is held),
// and if every thread ends up blocked the deadlock report names the point it is held at.
// Other arrivals, and arrivals after the hold has taken its thread, pass freely.
//
// Example: forcing both orders of "the answer unmarks and completes" against "a cancel runs
// the cancel routine", for a driver that keeps a cancelable request until an answer comes:
//
//   // Cancel before the answer: the answering thread is held before it unmarks.
//   pause_points::hold at_unmark("WdfRequestUnmarkCancelable", request);
//   auto answer = scheduler::get().start_thread("answer", [&] { deliver_answer(); });
//   ASSERT_TRUE(at_unmark.wait_arrived()) << at_unmark.describe();
//   CancelIoEx(handle, &overlapped);      // the cancel routine runs and completes
//   at_unmark.release();                  // unmarking now returns STATUS_CANCELLED
//   answer->join();                       // the answer must leave the request alone
//
//   // Answer before the cancel: the cancelling thread is held before the IRP is touched.
//   pause_points::hold at_cancel("IoCancelIrp");
//   auto cancel = scheduler::get().start_thread("cancel", [&] { CancelIoEx(handle, &ov); });
//   ASSERT_TRUE(at_cancel.wait_arrived()) << at_cancel.describe();
//   deliver_answer();                     // unmarks (STATUS_SUCCESS) and completes
//   at_cancel.release();                  // the cancel finds a completed request
//   cancel->join();
//
// tests/platform/pause/pause_points_test.cpp runs both orders on a small driver fragment.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform::pause_points {

// One arrival at a point, as a hold's filter sees it.
struct site {
    std::string_view point;
    const void* object = nullptr;  // what the routine acts on (see the table above), or null
    std::string_view thread;       // the arriving thread's name
};

struct hold_options {
    unsigned occurrence = 1;       // take the n-th matching arrival from now (1: the next)
    const void* object = nullptr;  // when set, only arrivals about this object match
    // When set, only arrivals it accepts match. It runs under the scheduler's lock: it must
    // not block, call back into the platform or take other locks.
    std::function<bool(const site&)> filter;
};

namespace detail {
struct armed;
}

class hold {
  public:
    explicit hold(std::string_view point, hold_options options = {});
    // The n-th arrival about `object`.
    hold(std::string_view point, const void* object, unsigned occurrence = 1);
    // Lets a held thread go (as release()) and disarms a hold no thread has reached yet.
    ~hold();
    hold(const hold&) = delete;
    hold& operator=(const hold&) = delete;

    // Waits through the scheduler, up to `timeout_ms` of (virtual) time, until a thread is
    // held here. False when the time passed first; describe() then says what every thread
    // was doing at that moment.
    [[nodiscard]] bool wait_arrived(std::int64_t timeout_ms = 5000);
    bool arrived() const;  // a thread is held, or was held and has been released
    // Lets the held thread go on. Before any thread arrives, disarms the hold: the point
    // then holds nobody.
    void release();
    // Waits through the scheduler until the released thread has left the point.
    [[nodiscard]] bool wait_left(std::int64_t timeout_ms = 5000);
    std::string thread_name() const;  // the held thread's name, or "" before one arrives
    // "pause point 'X' (arrival 1): held on thread 'T'", with the failed wait's thread list.
    std::string describe() const;

  private:
    std::shared_ptr<detail::armed> state_;
};

// Called by the platform where a point is. Returns at once unless a hold matches this
// arrival; then blocks until the test releases it. Must be called with no platform lock
// held (the scheduler's least of all).
void reach(std::string_view point, const void* object = nullptr);

// Number of holds armed that no thread has reached yet (nor been released).
std::size_t armed_count();

}  // namespace platform::pause_points
