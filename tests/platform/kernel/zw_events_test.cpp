// ZwCreateEvent and ZwOpenEvent: named events through OBJECT_ATTRIBUTES, on the same objects
// the I/O manager's named-event routines use.
#include <gtest/gtest.h>
#include <ntifs.h>

#include "core/scheduler.h"
#include "kernel/named_events.h"
#include "kernel/strings.h"
#include "zw_events_caller.h"

namespace k = platform::kernel;

namespace {

struct named {
    k::owned_unicode_string name;
    OBJECT_ATTRIBUTES attributes{};
    named(std::u16string_view text, ULONG flags) : name(text) {
        InitializeObjectAttributes(&attributes, name.get(), flags, nullptr, nullptr);
    }
};

TEST(ZwEvents, CreateMakesTheEventAsAskedAndOpenIfOpensItUnchanged) {
    named n(u"\\BaseNamedObjects\\ZwTestEvent", OBJ_KERNEL_HANDLE | OBJ_OPENIF);
    HANDLE h1 = nullptr;
    ASSERT_EQ(ZwCreateEvent(&h1, EVENT_ALL_ACCESS, &n.attributes, SynchronizationEvent, FALSE),
              STATUS_SUCCESS);
    EXPECT_TRUE(platform::ob::is_kernel_handle(h1));
    k::named_event_result found = k::open_event(u"\\BaseNamedObjects\\ZwTestEvent");
    ASSERT_EQ(found.status, STATUS_SUCCESS);
    PKEVENT event = found.event->event();
    EXPECT_EQ(KeReadStateEvent(event), 0);  // not signalled, unlike IoCreate...Event

    // IoCreateSynchronizationEvent now opens it rather than creating a signalled one.
    HANDLE h2 = nullptr;
    EXPECT_EQ(IoCreateSynchronizationEvent(n.name.get(), &h2), event);
    EXPECT_EQ(KeReadStateEvent(event), 0);

    // OBJ_OPENIF opens the existing event whatever state and type were asked for.
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    HANDLE h3 = nullptr;
    EXPECT_EQ(ZwCreateEvent(&h3, GENERIC_READ, &n.attributes, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(KeReadStateEvent(event), 1);
    EXPECT_EQ(platform::ob::kernel_handles().lookup(h3).granted,
              static_cast<ACCESS_MASK>(STANDARD_RIGHTS_READ | EVENT_QUERY_STATE));
    // A synchronization event still: one wait consumes the signal.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(event), 0);

    // Without OBJ_OPENIF an existing name is a collision; ZwOpenEvent opens it.
    named strict(u"\\BaseNamedObjects\\ZwTestEvent", OBJ_KERNEL_HANDLE);
    HANDLE h4 = nullptr;
    EXPECT_EQ(ZwCreateEvent(&h4, EVENT_ALL_ACCESS, &strict.attributes, SynchronizationEvent, FALSE),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(h4, nullptr);
    EXPECT_EQ(ZwOpenEvent(&h4, EVENT_MODIFY_STATE, &strict.attributes), STATUS_SUCCESS);

    // The name goes with the last handle.
    for (HANDLE h : {h1, h2, h3, h4})
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    found = {};
    EXPECT_EQ(ZwOpenEvent(&h4, EVENT_ALL_ACCESS, &strict.attributes), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ZwEvents, UnnamedEventsAndTheInitialState) {
    HANDLE h = nullptr;
    ASSERT_EQ(ZwCreateEvent(&h, EVENT_ALL_ACCESS, nullptr, NotificationEvent, TRUE),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    auto* event = static_cast<PKEVENT>(object);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(event), 1);  // a notification event stays signalled
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST(ZwEvents, MalformedRequestsFailAsTheObjectManagerFailsThem) {
    HANDLE h = nullptr;
    named good(u"\\BaseNamedObjects\\ZwTestBad", OBJ_KERNEL_HANDLE);
    EXPECT_EQ(zw_create_event_of_raw_type(&h, &good.attributes, 2), STATUS_INVALID_PARAMETER_4);

    OBJECT_ATTRIBUTES wrong_length = good.attributes;
    wrong_length.Length = sizeof(OBJECT_ATTRIBUTES) - 1;
    EXPECT_EQ(ZwCreateEvent(&h, EVENT_ALL_ACCESS, &wrong_length, SynchronizationEvent, FALSE),
              STATUS_INVALID_PARAMETER);
    OBJECT_ATTRIBUTES bad_flags = good.attributes;
    bad_flags.Attributes |= 0x1;
    EXPECT_EQ(ZwCreateEvent(&h, EVENT_ALL_ACCESS, &bad_flags, SynchronizationEvent, FALSE),
              STATUS_INVALID_PARAMETER);

    named relative(u"ZwTestBad", OBJ_KERNEL_HANDLE);
    EXPECT_EQ(
        ZwCreateEvent(&h, EVENT_ALL_ACCESS, &relative.attributes, SynchronizationEvent, FALSE),
        STATUS_OBJECT_PATH_SYNTAX_BAD);
    named no_directory(u"\\NoSuchDirectory\\ZwTestBad", OBJ_KERNEL_HANDLE);
    EXPECT_EQ(
        ZwCreateEvent(&h, EVENT_ALL_ACCESS, &no_directory.attributes, SynchronizationEvent, FALSE),
        STATUS_OBJECT_PATH_NOT_FOUND);
    UNICODE_STRING odd{3, 8, const_cast<PWCH>(u"\\Bad")};
    OBJECT_ATTRIBUTES odd_name;
    InitializeObjectAttributes(&odd_name, &odd, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwCreateEvent(&h, EVENT_ALL_ACCESS, &odd_name, SynchronizationEvent, FALSE),
              STATUS_OBJECT_NAME_INVALID);

    // A name held by something that is not an event.
    named directory(u"\\BaseNamedObjects", OBJ_KERNEL_HANDLE | OBJ_OPENIF);
    EXPECT_EQ(
        ZwCreateEvent(&h, EVENT_ALL_ACCESS, &directory.attributes, SynchronizationEvent, FALSE),
        STATUS_OBJECT_TYPE_MISMATCH);
    directory.attributes.Attributes = OBJ_KERNEL_HANDLE;
    EXPECT_EQ(
        ZwCreateEvent(&h, EVENT_ALL_ACCESS, &directory.attributes, SynchronizationEvent, FALSE),
        STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ZwOpenEvent(&h, EVENT_ALL_ACCESS, &directory.attributes),
              STATUS_OBJECT_TYPE_MISMATCH);

    // ZwOpenEvent needs a name.
    EXPECT_EQ(ZwOpenEvent(&h, EVENT_ALL_ACCESS, nullptr), STATUS_INVALID_PARAMETER);
    OBJECT_ATTRIBUTES unnamed;
    InitializeObjectAttributes(&unnamed, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenEvent(&h, EVENT_ALL_ACCESS, &unnamed), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(h, nullptr);
}

TEST(ZwEventsDeathTest, AbovePassiveLevelIsABugCheck) {
    EXPECT_DEATH(
        {
            platform::scheduler::get().current().irql = DISPATCH_LEVEL;
            HANDLE h = nullptr;
            ZwCreateEvent(&h, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE);
        },
        "ZwCreateEvent above PASSIVE_LEVEL");
}

}  // namespace
