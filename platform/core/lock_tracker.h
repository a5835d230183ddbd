// The verifier's view of locks. Every lock the driver can take (wait locks, spin locks)
// reports acquisition and release here. The tracker bug-checks on recursive acquisition,
// release by a thread that does not hold the lock, a lock still held where the driver must
// have released everything (a callback, work item or system thread returning), and an
// inversion of lock order: the first time lock B is taken while A is held, the edge A -> B is
// recorded with where each lock was acquired; an edge that closes a cycle is reported with
// both orders.
//
// Reports name a lock by its kind and handle ("wait lock 0x1a8") and each acquisition by the
// driver's call site (the return address the exported acquire routine captured), resolved
// to function and file:line by the symbolizer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::lock_tracker {

// `lock` identifies the lock (its address); `kind` names it ("wait lock"); `handle` is the
// driver's handle for it, when it has one (a WDFWAITLOCK), and `site` the return address
// into the driver's call of the acquire routine (null when the platform itself acquires).
void on_acquire(const void* lock, std::string_view kind, const void* handle = nullptr,
                const void* site = nullptr);
void on_release(const void* lock, std::string_view kind, const void* handle = nullptr);
// True when the calling thread holds `lock`.
bool held_by_current(const void* lock);
std::size_t held_count();
// Bug-checks when the calling thread still holds any lock; `where` names the place.
void expect_none_held(std::string_view where);
// Bug-checks when the calling thread holds more locks than `count` (the number it held before
// the driver code that is returning was called); `where` names that code.
void expect_held_count(std::size_t count, std::string_view where);
// The calling thread's locks from the `from`-th on, oldest first, each as
// "wait lock 0x1a8 acquired at VraxFoo (src/foo.cpp:12)"; joined with "; ".
std::string describe_held(std::size_t from = 0);
// A lock is being deleted: it must not be held, and its order edges are dropped.
void forget(const void* lock);
// Drops the whole lock graph (between independent test scenarios in one process).
void reset_graph();

}  // namespace platform::lock_tracker
