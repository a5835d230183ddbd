// Stands in for the I/O control dispatcher, which comes with the I/O control interface: the
// notification-read control is served as the dispatcher will serve it (ReadNotification
// under ClientSessionsLock); every other control is kept, cancelable, as a deferred control
// keeps its request while its work item waits.
#pragma once

#include <ntddk.h>
#include <wdf.h>

namespace session_test {

// The control to read a port-state notification.
inline constexpr ULONG notification_read_control = 0x12430;

// The control last kept, or NULL once it was cancelled.
extern WDFREQUEST kept;

}  // namespace session_test
