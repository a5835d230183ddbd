// Port-state notifications read through the notification-read control: 8 bytes each, oldest
// first, a buffer shorter than 8 bytes discarding one, a read waiting while none is stored
// and cancelled by the clean-up.
#include <cstring>

#include "kept_controls.h"
#include "session_fixture.h"

#include "kernel/pool.h"

#include "vrax_pool.h"

namespace session_test {
namespace {

// Stores a notification as delivery does: an 8-byte memory object (tag "vrx1") appended to
// Notifications under NotificationLock.
void store_notification(PCLIENT_CONTEXT session, ULONG state, ULONG service_type) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, 8, &memory, &buffer),
              STATUS_SUCCESS);
    const ULONG words[2] = {state, service_type};
    std::memcpy(buffer, words, sizeof(words));
    WdfWaitLockAcquire(session->NotificationLock, nullptr);
    NTSTATUS status = WdfCollectionAdd(session->Notifications, memory);
    WdfWaitLockRelease(session->NotificationLock);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

struct control_result {
    DWORD error = 0;
    DWORD returned = 0;
    ULONG words[3] = {0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC};
};

control_result read_notification(HANDLE h, DWORD size) {
    control_result r;
    if (!DeviceIoControl(h, notification_read_control, nullptr, 0, r.words, size, &r.returned,
                         nullptr)) {
        r.error = GetLastError();
    }
    return r;
}

TEST_F(Session, NotificationsAreReadWholeInOrderAndAShortBufferDiscardsOne) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    store_notification(s, 1, 3);
    store_notification(s, 0, 3);
    store_notification(s, 1, 4);
    set_outstanding(s, 2);

    control_result r = read_notification(h, 12);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(r.words[0], 1u);
    EXPECT_EQ(r.words[1], 3u);
    r = read_notification(h, 7);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    r = read_notification(h, 8);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.words[0], 1u);
    EXPECT_EQ(r.words[1], 4u);
    EXPECT_EQ(outstanding(s), 2u) << "notifications release no writes";
    EXPECT_EQ(s->LastPortState, VRAX_PORT_STATE_NONE);
    CloseHandle(h);
}

TEST_F(Session, AWaitingNotificationReadIsCancelledAtCleanUpAndUnreadOnesFreed) {
    bring_up();
    HANDLE waiting = open_vrax(/*overlapped=*/true);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ULONG words[2] = {};
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(waiting, notification_read_control, nullptr, 0, words,
                                 sizeof(words), &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    HANDLE unread = open_vrax();
    store_notification(session_of(unread), 0, 3);
    CloseHandle(waiting);
    ASSERT_TRUE(wait_until([&] { return HasOverlappedIoCompleted(&ov); }));
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
    CloseHandle(ov.hEvent);
    CloseHandle(unread);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u);
}

}  // namespace
}  // namespace session_test
