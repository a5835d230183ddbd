// Two paths of a driver that take the same two locks in opposite orders. They never overlap
// in this run, yet the second order closes a cycle: the report names both locks, both orders
// and where each lock was taken on each path. (Handle values depend on what ran before in the
// process, so the patterns match any.)
#include <gtest/gtest.h>
#include <wdf.h>

#include <string>

#include "core/lock_tracker.h"

namespace {

struct device_locks {
    WDFWAITLOCK sessions = nullptr;
    WDFWAITLOCK port = nullptr;
};

// Opening a session: the session table, then the port.
VOID OpenSession(device_locks* d) {
    WdfWaitLockAcquire(d->sessions, nullptr);
    WdfWaitLockAcquire(d->port, nullptr);
    WdfWaitLockRelease(d->port);
    WdfWaitLockRelease(d->sessions);
}
constexpr int open_sessions_line = __LINE__ - 5;

// Closing the port: the port, then the session table to tell every session.
VOID ClosePort(device_locks* d) {
    WdfWaitLockAcquire(d->port, nullptr);
    WdfWaitLockAcquire(d->sessions, nullptr);
    WdfWaitLockRelease(d->sessions);
    WdfWaitLockRelease(d->port);
}
constexpr int close_port_line = __LINE__ - 5;

std::string at(int line) {
    return "tests/platform/verifier/kernel_lock_order_test.cpp:" + std::to_string(line) + "\\)";
}

TEST(KernelLockOrderVerifier, AnInversionNamesBothLocksBothOrdersAndEveryAcquisitionSite) {
    platform::lock_tracker::reset_graph();
    device_locks d;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &d.sessions), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &d.port), STATUS_SUCCESS);
    OpenSession(&d);
    EXPECT_DEATH(ClosePort(&d),
                 std::string("0x000000C4: lock order inversion: wait lock 0x[0-9a-f]+") +
                     " acquired at .*ClosePort \\(" + at(close_port_line + 1) +
                     " while holding wait lock " + "0x[0-9a-f]+" + " acquired at .*ClosePort \\(" +
                     at(close_port_line) + "; the opposite order was seen before: wait lock " +
                     "0x[0-9a-f]+" + " acquired at .*OpenSession \\(" + at(open_sessions_line + 1) +
                     " while holding wait lock " + "0x[0-9a-f]+" +
                     " acquired at .*OpenSession \\(" + at(open_sessions_line));
    OpenSession(&d);  // the consistent order stays fine
    WdfObjectDelete(d.port);
    WdfObjectDelete(d.sessions);
}

}  // namespace
