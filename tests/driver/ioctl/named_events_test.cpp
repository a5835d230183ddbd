// The named-event controls through DeviceIoControl: one slot per event however often it is
// opened, closing in the middle of the table, the 512 slots, the name rules, and the port
// shutdown setting every registered event, which a program reaches as Global\<name>.
#include <vrax/vrax_ioctl.h>

#include <cstring>
#include <string>

#include "core/faults.h"
#include "ioctl_fixture.h"
#include "port/port_shutdown.h"

#include "vrax_device.h"

namespace ioctl_test {
namespace {

const DWORD gen_failure = ERROR_GEN_FAILURE;

PVRAX_DEVICE_CONTEXT device() {
    return GetVraxDeviceContext(::ControlDevice);
}

// Opens `name` through a control; the handle value, or nothing.
std::optional<bytes> open_event(HANDLE h, const std::u16string& name,
                                DWORD code = IOCTL_VRAX_OPEN_EVENT) {
    outcome r = control(h, code, wide_name(name), 8);
    if (r.error != 0) {
        return std::nullopt;
    }
    EXPECT_EQ(r.returned, 8u);
    return r.out;
}

DWORD close_event(HANDLE h, const bytes& value) {
    return control(h, IOCTL_VRAX_CLOSE_EVENT, value, 0).error;
}

bytes value_of_slot(ULONG i) {
    LONG64 v = (LONG64)(LONG_PTR)device()->NamedEventHandles[i];
    bytes b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
}

bool name_exists(const std::u16string& name) {
    HANDLE e = OpenEventW(SYNCHRONIZE, FALSE, (u"Global\\" + name).c_str());
    if (e == nullptr) {
        return false;
    }
    CloseHandle(e);
    return true;
}

TEST_F(IoctlMachine, TheSameEventOpenedTwiceKeepsOneSlotAndOneHandle) {
    bring_up();
    HANDLE h = open_vrax();
    auto first = open_event(h, u"VraxTwice");
    ASSERT_TRUE(first);
    EXPECT_EQ(open_event(h, u"VraxTwice"), first);
    EXPECT_EQ(open_event(h, u"VraxTwice", IOCTL_VRAX_OPEN_EVENT_W), first) << "both paths";
    EXPECT_EQ(device()->NamedEventCount, 1u);
    EXPECT_TRUE(name_exists(u"VraxTwice"));

    EXPECT_EQ(close_event(h, *first), 0u);
    EXPECT_FALSE(name_exists(u"VraxTwice")) << "the driver held no other handle to it";
    EXPECT_EQ(close_event(h, *first), gen_failure);
    EXPECT_EQ(device()->NamedEventCount, 0u);
    CloseHandle(h);
}

TEST_F(IoctlMachine, ClosingInTheMiddleMovesTheLaterSlotsDown) {
    bring_up();
    HANDLE h = open_vrax();
    HANDLE other = open_vrax();
    auto a = open_event(h, u"VraxA");
    auto b = open_event(h, u"VraxB", IOCTL_VRAX_OPEN_EVENT_W);
    auto c = open_event(h, u"VraxC");
    ASSERT_TRUE(a && b && c);
    PKEVENT event_c = device()->NamedEvents[2];

    PKEVENT event_a = device()->NamedEvents[0];
    EXPECT_EQ(close_event(h, bytes(8, 0)), gen_failure) << "a value never returned";
    EXPECT_EQ(close_event(other, *b), 0u) << "any session may close any event";
    EXPECT_FALSE(name_exists(u"VraxB")) << "the driver's handle to it went";
    EXPECT_TRUE(name_exists(u"VraxA"));
    EXPECT_TRUE(name_exists(u"VraxC"));
    EXPECT_EQ(device()->NamedEventCount, 2u);
    EXPECT_EQ(device()->NamedEvents[0], event_a);
    EXPECT_EQ(device()->NamedEvents[1], event_c);
    EXPECT_EQ(value_of_slot(1), *c);
    EXPECT_EQ(device()->NamedEvents[2], nullptr);

    auto d = open_event(h, u"VraxD");
    ASSERT_TRUE(d);
    EXPECT_EQ(value_of_slot(2), *d);
    for (const auto& v : {*c, *d, *a}) {
        EXPECT_EQ(close_event(h, v), 0u);
    }
    EXPECT_EQ(device()->NamedEventCount, 0u);
    EXPECT_EQ(close_event(h, bytes(8, 0)), gen_failure) << "an empty table";
    CloseHandle(other);
    CloseHandle(h);
}

TEST_F(IoctlMachine, TheTableHoldsFiveHundredTwelveEvents) {
    bring_up();
    HANDLE h = open_vrax();
    std::vector<bytes> values;
    for (int i = 0; i < VRAX_NAMED_EVENT_SLOTS; ++i) {
        auto name = u"VraxSlot" + std::u16string(1, char16_t(u'A' + i / 26 % 26)) +
                    std::u16string(1, char16_t(u'A' + i % 26));
        auto v = open_event(h, name, i % 2 == 0 ? IOCTL_VRAX_OPEN_EVENT : IOCTL_VRAX_OPEN_EVENT_W);
        ASSERT_TRUE(v) << i;
        values.push_back(*v);
    }
    for (DWORD code : {IOCTL_VRAX_OPEN_EVENT, IOCTL_VRAX_OPEN_EVENT_W}) {
        EXPECT_EQ(control(h, code, wide_name(u"VraxOneTooMany"), 8).error,
                  static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    }
    EXPECT_FALSE(name_exists(u"VraxOneTooMany"));
    EXPECT_EQ(close_event(h, values[100]), 0u);
    EXPECT_TRUE(open_event(h, u"VraxOneTooMany"));
    EXPECT_EQ(device()->NamedEventCount, 512u);
    CloseHandle(h);
}

TEST_F(IoctlMachine, NamesMustBeTerminatedWithinTheBytesUsedAndFitThePath) {
    bring_up();
    HANDLE h = open_vrax();
    const DWORD invalid = ERROR_INVALID_PARAMETER;
    // 127 characters and the NUL fill the 256 bytes 0x12420 uses; one more is unterminated.
    const std::u16string longest(127, u'n');
    EXPECT_TRUE(open_event(h, longest));
    EXPECT_EQ(control(h, IOCTL_VRAX_OPEN_EVENT, wide_name(longest + u"n"), 8).error, invalid);
    bytes unterminated = wide_name(u"Vrax");
    unterminated.resize(unterminated.size() - 2);
    EXPECT_EQ(control(h, IOCTL_VRAX_OPEN_EVENT, unterminated, 8).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_OPEN_EVENT, {'A', 0, 0}, 8).error, invalid)
        << "a NUL needs a whole character";
    // The wide path holds 255 characters: "\BaseNamedObjects\" leaves 237 for the name.
    EXPECT_TRUE(open_event(h, std::u16string(237, u'w'), IOCTL_VRAX_OPEN_EVENT_W));
    EXPECT_EQ(control(h, IOCTL_VRAX_OPEN_EVENT_W, wide_name(std::u16string(238, u'w')), 8).error,
              invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_OPEN_EVENT_W, wide_name(std::u16string(256, u'w')), 8).error,
              invalid);
    // The output must hold the 8-byte value; the input must be there at all.
    for (DWORD code : {IOCTL_VRAX_OPEN_EVENT, IOCTL_VRAX_OPEN_EVENT_W}) {
        EXPECT_EQ(control(h, code, wide_name(u"VraxShort"), 7).error,
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(control(h, code, {}, 8).error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
        // An empty name names the directory itself, which is no event.
        EXPECT_EQ(control(h, code, wide_name(u""), 8).error, gen_failure);
    }
    EXPECT_FALSE(name_exists(u"VraxShort"));
    EXPECT_EQ(device()->NamedEventCount, 2u);
    // The close needs the whole 8-byte value.
    bytes value = value_of_slot(0);
    EXPECT_EQ(close_event(h, bytes(value.begin(), value.begin() + 7)), invalid);
    EXPECT_EQ(close_event(h, value), 0u);
    CloseHandle(h);
}

// An open that fails on the way leaves the table as it was, creates no event, and frees
// what it had allocated (the shutdown's check counts pool by tag): either of its two pool
// buffers, the narrow path's conversion, or the event itself.
TEST_F(IoctlMachine, AFailedOpenLeavesTheTableAsItWas) {
    bring_up();
    HANDLE h = open_vrax();
    auto kept = open_event(h, u"VraxKept");
    ASSERT_TRUE(kept);
    struct {
        const char* routine;
        unsigned nth;
        DWORD code;
    } cases[] = {
        {"ExAllocatePoolWithTag", 1, IOCTL_VRAX_OPEN_EVENT},
        {"ExAllocatePoolWithTag", 2, IOCTL_VRAX_OPEN_EVENT},
        {"RtlAnsiStringToUnicodeString", 1, IOCTL_VRAX_OPEN_EVENT},
        {"IoCreateNotificationEvent", 1, IOCTL_VRAX_OPEN_EVENT},
        {"ExAllocatePoolWithTag", 1, IOCTL_VRAX_OPEN_EVENT_W},
        {"ExAllocatePoolWithTag", 2, IOCTL_VRAX_OPEN_EVENT_W},
        {"IoCreateNotificationEvent", 1, IOCTL_VRAX_OPEN_EVENT_W},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.routine) + " " + std::to_string(c.nth) + " " +
                     std::to_string(c.code));
        platform::faults::fail_nth(c.routine, c.nth, STATUS_INSUFFICIENT_RESOURCES);
        outcome r = control(h, c.code, wide_name(u"VraxFailed"), 8);
        platform::faults::clear();
        EXPECT_EQ(r.error, gen_failure);
        EXPECT_EQ(device()->NamedEventCount, 1u);
        EXPECT_FALSE(name_exists(u"VraxFailed"));
    }
    EXPECT_EQ(open_event(h, u"VraxKept"), kept);
    EXPECT_EQ(close_event(h, *kept), 0u);
    CloseHandle(h);
}

TEST_F(IoctlMachine, ThePortShutdownSetsEveryRegisteredEvent) {
    bring_up();
    HANDLE h = open_vrax();
    // Programs create their events unsignalled and wait on them by the global name.
    std::vector<HANDLE> events;
    for (const char16_t* name : {u"VraxDownA", u"VraxDownB", u"VraxDownC"}) {
        events.push_back(
            CreateEventW(nullptr, TRUE, FALSE, (std::u16string(u"Global\\") + name).c_str()));
        ASSERT_NE(events.back(), nullptr);
    }
    ASSERT_TRUE(open_event(h, u"VraxDownA"));
    ASSERT_TRUE(open_event(h, u"VraxDownB", IOCTL_VRAX_OPEN_EVENT_W));
    auto c = open_event(h, u"VraxDownC");
    ASSERT_TRUE(c);
    for (HANDLE e : events) {
        EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    CloseHandle(h);
    ASSERT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
    removed_ = true;
    for (HANDLE e : events) {
        EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
        CloseHandle(e);
    }
}

// The shutdown empties the slots but keeps the count: old values are gone, and new opens
// take the slots after the old count.
TEST_F(IoctlMachine, AfterAShutdownOldValuesAreGoneAndNewOpensFollowTheOldCount) {
    bring_up();
    HANDLE h = open_vrax();
    auto a = open_event(h, u"VraxOldA");
    auto b = open_event(h, u"VraxOldB");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(SmdPortsStop(::ControlDevice, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(device()->NamedEventCount, 2u);
    EXPECT_EQ(device()->NamedEvents[0], nullptr);
    EXPECT_EQ(device()->NamedEvents[1], nullptr);
    EXPECT_EQ(close_event(h, *a), gen_failure);
    auto again = open_event(h, u"VraxOldA");
    ASSERT_TRUE(again);
    EXPECT_EQ(device()->NamedEventCount, 3u);
    EXPECT_EQ(value_of_slot(2), *again);
    EXPECT_EQ(close_event(h, *again), 0u);
    CloseHandle(h);
}

}  // namespace
}  // namespace ioctl_test
