// The open request: what the driver checks before it binds a channel, the events it creates,
// and one channel per handle, one handle per port.
#include <cstddef>
#include <functional>

#include "kernel/named_events.h"
#include "smd_client.h"

namespace smd_test {
namespace {

using OpenRequest = smd_fixture;

// The codes are the control-code macro's, for device type FILE_DEVICE_UNKNOWN.
static_assert(IOCTL_SMD_OPEN == CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_SMD_CLOSE ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_SMD_READ_PENDING ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(offsetof(SMD_OPEN_REQUEST, OpenEventName) == 268);
static_assert(offsetof(SMD_OPEN_REQUEST, CloseEventName) == 524);

std::vector<std::uint8_t> bytes_of(const SMD_OPEN_REQUEST& r) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
    return {b, b + sizeof r};
}

TEST_F(OpenRequest, EveryMalformedFieldIsRefusedWithoutAChannelOrEvents) {
    struct bad_case {
        const char* what;
        std::function<void(SMD_OPEN_REQUEST&)> spoil;
    };
    const bad_case cases[] = {
        {"first word", [](SMD_OPEN_REQUEST& r) { r.Reserved = 1; }},
        {"second word", [](SMD_OPEN_REQUEST& r) { r.Version = 2; }},
        {"third word", [](SMD_OPEN_REQUEST& r) { r.BufferLength = 1023; }},
        {"read name unterminated",
         [](SMD_OPEN_REQUEST& r) {
             for (auto& c : r.ReadEventName)
                 c = u'7';
         }},
        {"open name prefix",
         [](SMD_OPEN_REQUEST& r) { set_name(r.OpenEventName, u"VRAX_SMD_SHARED_EVENT_READ_4"); }},
        {"close name lower case",
         [](SMD_OPEN_REQUEST& r) { set_name(r.CloseEventName, u"vrax_smd_shared_event_close_4"); }},
        {"port 29", [](SMD_OPEN_REQUEST& r) { r = open_request(29); }},
        {"padded index",
         [](SMD_OPEN_REQUEST& r) { set_name(r.ReadEventName, u"VRAX_SMD_SHARED_EVENT_READ_04"); }},
        {"no index",
         [](SMD_OPEN_REQUEST& r) { set_name(r.OpenEventName, u"VRAX_SMD_SHARED_EVENT_OPEN_"); }},
        {"index not decimal",
         [](SMD_OPEN_REQUEST& r) {
             set_name(r.CloseEventName, u"VRAX_SMD_SHARED_EVENT_CLOSE_4a");
         }},
        {"names disagree",
         [](SMD_OPEN_REQUEST& r) { set_name(r.CloseEventName, u"VRAX_SMD_SHARED_EVENT_CLOSE_5"); }},
    };
    channel ch;
    ASSERT_EQ(ch.open_status(), STATUS_SUCCESS);
    for (const auto& c : cases) {
        SMD_OPEN_REQUEST r = open_request(4);
        c.spoil(r);
        EXPECT_EQ(ch.open(r), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_FALSE(last_open_request().port) << c.what;
        EXPECT_EQ(last_open_request().status, STATUS_INVALID_PARAMETER) << c.what;
    }
    // Short buffers: no structure to look at.
    std::vector<std::uint8_t> good = bytes_of(open_request(4));
    std::vector<std::uint8_t> short_one(good.begin(), good.end() - 1);
    EXPECT_EQ(ch.send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_OPEN, short_one, 0)->status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ch.send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_OPEN, {}, 0)->status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(last_open_request().input_length, 0u);

    // Nothing was created and the handle is still unbound; a good request then succeeds.
    EXPECT_FALSE(event_exists(event_path("READ", 4)));
    EXPECT_FALSE(event_exists(event_path("CLOSE", 5)));
    EXPECT_EQ(ch.read_pending()->status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ch.open(4), STATUS_SUCCESS);
    EXPECT_EQ(ch.close(), STATUS_SUCCESS);
}

TEST_F(OpenRequest, CreatesTheThreeEventsNotSignalledForTheClientToOpenByName) {
    // An event left signalled by an earlier channel of port 3 must not end the new one.
    client_event stale(event_path("CLOSE", 3));  // created signalled, as IoCreate... does
    ASSERT_TRUE(stale.signalled());

    channel ch;
    ASSERT_EQ(ch.open(3), STATUS_SUCCESS);
    const far_end::open_request seen = last_open_request();
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.port, 3u);
    EXPECT_EQ(seen.input_length, sizeof(SMD_OPEN_REQUEST));
    EXPECT_EQ(seen.read_event, u"VRAX_SMD_SHARED_EVENT_READ_3");
    EXPECT_EQ(seen.open_event, u"VRAX_SMD_SHARED_EVENT_OPEN_3");
    EXPECT_EQ(seen.close_event, u"VRAX_SMD_SHARED_EVENT_CLOSE_3");

    EXPECT_FALSE(stale.signalled());
    for (const char* kind : {"READ", "OPEN", "CLOSE"}) {
        ASSERT_TRUE(event_exists(event_path(kind, 3))) << kind;
        client_event e(event_path(kind, 3));  // opens the driver's event
        EXPECT_FALSE(e.signalled()) << kind;
        auto* object = platform::kernel::event_from_body(e.get());
        ASSERT_NE(object, nullptr);
        // The driver's handle and this one (and the stale one's, for CLOSE).
        EXPECT_EQ(object->handle_count(), std::string(kind) == "CLOSE" ? 3 : 2) << kind;
    }

    // Closing the channel releases the driver's handles: the names go with the last handle.
    EXPECT_EQ(ch.close(), STATUS_SUCCESS);
    EXPECT_FALSE(event_exists(event_path("READ", 3)));
    EXPECT_TRUE(event_exists(event_path("CLOSE", 3)));  // `stale` still holds it
    EXPECT_EQ(last_close_request().port, 3u);
}

TEST_F(OpenRequest, OneChannelPerHandleAndOneHandlePerPort) {
    channel a, b;
    ASSERT_EQ(a.open(0), STATUS_SUCCESS);
    EXPECT_EQ(a.open(1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(b.open(0), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(b.close(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(last_close_request().port);
    EXPECT_EQ(b.send(IRP_MJ_DEVICE_CONTROL, 0x220008, {}, 0)->status,
              STATUS_INVALID_DEVICE_REQUEST);

    // Closing the handle ends its channel as IOCTL_SMD_CLOSE does: the port is free again.
    a.close_handle();
    EXPECT_FALSE(event_exists(event_path("OPEN", 0)));
    EXPECT_EQ(b.open(0), STATUS_SUCCESS);
    // A closed channel can be opened again on the same handle.
    EXPECT_EQ(b.close(), STATUS_SUCCESS);
    EXPECT_EQ(b.open(7), STATUS_SUCCESS);
}

}  // namespace
}  // namespace smd_test
