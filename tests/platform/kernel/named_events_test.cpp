// Named events in \BaseNamedObjects, shared between drivers and programs.
#include <gtest/gtest.h>
#include <wdm.h>

#include "core/faults.h"
#include "kernel/named_events.h"
#include "kernel/strings.h"

namespace k = platform::kernel;

namespace {

TEST(NamedEvents, IoCreateOpensAnExistingEventOrCreatesItSignalled) {
    k::owned_unicode_string name(u"\\BaseNamedObjects\\VraxTestOpen");
    HANDLE h1 = nullptr, h2 = nullptr;
    PKEVENT e1 = IoCreateNotificationEvent(name.get(), &h1);
    ASSERT_NE(e1, nullptr);
    EXPECT_TRUE(platform::ob::is_kernel_handle(h1));
    EXPECT_EQ(KeReadStateEvent(e1), 1);  // created signalled
    KeClearEvent(e1);

    // The second open finds the same event, its state untouched.
    PKEVENT e2 = IoCreateSynchronizationEvent(name.get(), &h2);
    EXPECT_EQ(e2, e1);
    EXPECT_NE(h2, h1);
    EXPECT_EQ(KeReadStateEvent(e2), 0);
    k::event_object* obj = k::event_from_body(e1);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->handle_count(), 2);

    // Each ZwClose drops the reference its open took; the name goes with the last one.
    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    EXPECT_EQ(obj->handle_count(), 1);
    EXPECT_EQ(k::open_event(u"\\BaseNamedObjects\\VraxTestOpen").status, STATUS_SUCCESS);
    ObReferenceObject(e1);  // keep it alive to look at afterwards
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    EXPECT_EQ(k::open_event(u"\\BaseNamedObjects\\VraxTestOpen").status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObDereferenceObject(e1), 0);
    EXPECT_EQ(k::event_from_body(e1), nullptr);
}

TEST(NamedEvents, AProgramAndADriverMeetOnOneEvent) {
    // The program creates the event unsignalled (CreateEventW) ...
    k::named_event_result created =
        k::create_event(u"\\BaseNamedObjects\\VraxTestMeet", SynchronizationEvent, false);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    platform::ob::handle_table program;
    HANDLE ph = program.insert(created.event, EVENT_ALL_ACCESS);
    // ... the driver opens it and signals it ...
    k::owned_unicode_string name(u"\\BaseNamedObjects\\vraxtestmeet");
    HANDLE kh = nullptr;
    PKEVENT ev = IoCreateNotificationEvent(name.get(), &kh);
    ASSERT_EQ(ev, created.event->event());
    KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
    // ... and the program's wait consumes it: the event keeps the type its creator gave it.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(created.event->event(), Executive, KernelMode, FALSE, &zero),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(ev), 0);
    // A second create reports that it opened an existing one.
    EXPECT_EQ(k::create_event(u"\\BaseNamedObjects\\VraxTestMeet", NotificationEvent, true).status,
              STATUS_OBJECT_NAME_EXISTS);
    ZwClose(kh);
    program.close(ph);
}

TEST(NamedEvents, NamesTakenByOtherObjectsAndFailures) {
    ASSERT_EQ(
        platform::ob::create_symbolic_link(u"\\BaseNamedObjects\\NotAnEvent", u"\\Device\\Nowhere"),
        STATUS_SUCCESS);
    EXPECT_EQ(k::open_event(u"\\BaseNamedObjects\\Nothing").status, STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(platform::ob::create_directory(u"\\BaseNamedObjects\\Dir"), STATUS_SUCCESS);
    EXPECT_EQ(k::create_event(u"\\BaseNamedObjects\\Dir", NotificationEvent, false).status,
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(k::create_event(u"\\NoSuchDirectory\\E", NotificationEvent, false).status,
              STATUS_OBJECT_PATH_NOT_FOUND);

    k::owned_unicode_string name(u"\\BaseNamedObjects\\VraxTestFault");
    HANDLE h = reinterpret_cast<HANDLE>(0x1234);
    platform::faults::fail_nth("IoCreateSynchronizationEvent", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateSynchronizationEvent(name.get(), &h), nullptr);
    EXPECT_EQ(h, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(k::open_event(u"\\BaseNamedObjects\\VraxTestFault").status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoCreateNotificationEvent(nullptr, &h), nullptr);

    // An unnamed event lives as long as its references.
    k::named_event_result unnamed = k::create_event(u"", NotificationEvent, true);
    ASSERT_EQ(unnamed.status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(unnamed.event->event()), 1);
    EXPECT_TRUE(unnamed.event->name().empty());
}

}  // namespace
