// Control-service responses and indications against the real driver on the real platform,
// with a live transaction table and sessions. Each input starts from the driver's load-time
// state (port 0 open at both ends, the port-open routine's service-table request out), opens
// a few handles of \\.\VRAX and binds their sessions, sends client-id, release, value and
// service-table requests through the driver's own request routines, and then plays a script:
// control messages from the far end of every shape (any message type, transaction id taken
// from the requests on the wire or any other, message id, result TLV right, failing, short
// or missing, TLV lengths right and wrong, service tables with one or both lists, frames cut
// short or with bytes to spare), raw frames, new requests (the request routines and the
// control-request body of every kind), control messages written by unbound sessions, session
// closes and opens, port loss and time passing. Between inputs every handle is closed and
// every request finished; findings are bug checks (the verifier's, the final check's at the
// end of each batch), deadlock reports, sanitizer reports and the expectations below.
//
// Input: byte 0 the machine ("SupportNewHWID" on, off or missing) and whether the far end
// answers the driver's client-id releases; byte 1 the sessions opened at first (1..4), each
// followed by a binding byte; then commands, op = c % 10:
//   0  a control message (see control_message)    1  a raw frame: 16-bit length, bytes
//   2  a request through the driver's routines     3  a control write on a session's handle
//   4  close a session                             5  open a session, binding byte
//   6  time passes                                 7  the far end closes (if served) or opens
//   8  take the frames the driver wrote            9  a response to the newest request, as
//                                                     the modem would answer it
//
// Expectations: the routing and transaction locks are never left held by a harness call; the
// transaction records stay bounded (a transaction id is reused only after 255 others, and a
// reused id retires its old record); every frame the driver writes is well formed.
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

#include "core/lock_tracker.h"
#include "kernel/pool.h"
#include "smd/far_end.h"
#include "support/driver_machine.h"
#include "support/fuzz_support.h"

#include "protocol/control_requests.h"
#include "protocol/routing.h"
#include "protocol/routing_table.h"
#include "session/session.h"
#include "vrax_device.h"
#include "vrax_pool.h"
#include "vrax_wire.h"

namespace {

namespace far_end = smd::far_end;
using fuzz::machine::bytes;
using fuzz::machine::pending_io;
using fuzz::machine::reader;

constexpr std::size_t slot_count = 4;
constexpr std::uint8_t services[] = {1, 2, 3, 5, 254};
constexpr std::uint16_t message_ids[] = {
    VRAX_CONTROL_SERVICE_TABLE_ID,    VRAX_CONTROL_CLIENT_ID_ID,
    VRAX_CONTROL_RELEASE_ID,          VRAX_CONTROL_VALUE_QUERY_ID,
    VRAX_CONTROL_KIND_SIX_ID,         VRAX_CONTROL_KIND_EIGHT_ID,
    VRAX_CONTROL_KIND_NINE_ID,        VRAX_CONTROL_KIND_TEN_ID,
    VRAX_CONTROL_PORT_OPEN_NOTICE_ID, 0x000A};
constexpr std::int64_t delays_ms[] = {0, 1, 10, 100, 1000, 5000};
// The driver object and every transaction record carry "vrx0". Records the channel can still
// answer are at most one per transaction id of each port; a few more may be in flight.
constexpr std::size_t max_records = 255 + 16;

struct slot {
    HANDLE handle = nullptr;
    ULONG key = 0;
    std::uint8_t service = 0;
};

// A request the driver put on the wire: what an answer must carry to match it.
struct sent_request {
    std::uint8_t id;
    std::uint16_t message_id;
    bytes tlvs;
};

struct script {
    std::array<slot, slot_count> slots;
    std::vector<sent_request> requests;  // oldest first
    std::vector<std::unique_ptr<pending_io>> ios;
    fuzz::machine::wire& wire = fuzz::machine::batch::get().frames();

    void open(std::size_t i, reader& in);
    void close(std::size_t i);
    ULONG key_of(std::uint8_t selector) const;
    void take_frames();
    void request(reader& in);
    void control_write(reader& in);
    void control_message(reader& in);
    void modem_answer(reader& in);
    void finish_all();
};

PCLIENT_CONTEXT newest_session() {
    PCLIENT_CONTEXT found = nullptr;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    for (ULONG i = 0; i < WdfCollectionGetCount(ClientSessions); ++i) {
        auto file = static_cast<WDFFILEOBJECT>(WdfCollectionGetItem(ClientSessions, i));
        PCLIENT_CONTEXT s = GetClientContext(file);
        if (s != nullptr && (found == nullptr || s->SessionKey > found->SessionKey))
            found = s;
    }
    WdfWaitLockRelease(ClientSessionsLock);
    return found;
}

// Binding byte: bits 0-2 the service (0 or 6, 7: none, else services[]), bit 3 a client id
// held already (as an earlier answer would have left it).
void script::open(std::size_t i, reader& in) {
    if (slots[i].handle != nullptr)
        close(i);
    const std::uint8_t binding = in.next();
    HANDLE h = CreateFileW(u"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;  // refused while the channel is closed
    PCLIENT_CONTEXT s = newest_session();
    fuzz::expect(s != nullptr, "an open handle has a session");
    slot& sl = slots[i];
    sl.handle = h;
    sl.key = s->SessionKey;
    const std::uint8_t service = binding % 8;
    sl.service = service >= 1 && service <= 5 ? services[service - 1] : 0;
    if (sl.service != 0) {
        WdfWaitLockAcquire(ClientSessionsLock, nullptr);
        s->PortIndex = 0;
        s->ServiceType = sl.service;
        s->ClientId = static_cast<UCHAR>(binding >> 4);
        s->ClientIdHeld = (binding & 0x08) != 0 ? 1 : 0;
        s->Kind = VRAX_SESSION_KIND_BOUND;
        WdfWaitLockRelease(ClientSessionsLock);
    }
}

void script::close(std::size_t i) {
    slot& sl = slots[i];
    if (sl.handle == nullptr)
        return;
    // With a client id held this waits (in virtual time) for the release's confirmation.
    fuzz::expect(CloseHandle(sl.handle) != FALSE, "CloseHandle");
    sl = slot{};
}

// A session's key (its handle may be closed by now: a stale key), no session, or any value.
ULONG script::key_of(std::uint8_t selector) const {
    switch (selector % 8) {
        case 6:
            return VRAX_SESSION_KEY_NONE;
        case 7:
            return 0x1000u + selector;
        default:
            return slots[selector % slot_count].key;
    }
}

// Every frame the driver wrote: well formed, and each control request it sent remembered
// with its transaction id, so that answers can match it.
void script::take_frames() {
    for (const bytes& f : wire.take()) {
        fuzz::expect(f.size() >= 6 && f[0] == 0x01 &&
                         static_cast<std::size_t>(f[1] | f[2] << 8) == f.size() - 1,
                     "a frame with a wrong header");
        if (f[4] != VRAX_SERVICE_CONTROL || f.size() < 12 || f[6] != VRAX_MESSAGE_REQUEST)
            continue;
        requests.push_back(
            {f[7], static_cast<std::uint16_t>(f[8] | f[9] << 8), bytes(f.begin() + 12, f.end())});
        if (requests.size() > 64)
            requests.erase(requests.begin());
    }
}

// A request through the driver's own routines. Selector: client id, value query, service
// table, release (kind 2 through the control-request body), or the control-request input of
// any kind with a body of input bytes.
void script::request(reader& in) {
    const std::uint8_t what = in.next();
    const ULONG key = key_of(in.next());
    int result = 0;
    switch (what % 5) {
        case 0:
            result = RequestClientId(key, services[in.next() % std::size(services)], 0);
            break;
        case 1: {
            const ULONG value = in.next32();
            result = RequestValueQuery(key, 0, value, in.next16());
            break;
        }
        case 2:
            result = RequestServiceTable(key, 0);
            break;
        default: {
            // Descriptor (kind, key, tag, reserved, reserved, port, service type, client id)
            // and a body: whole for kind 2, else cut anywhere.
            const ULONG kind = what % 5 == 3 ? VRAX_REQUEST_KIND_RELEASE : in.next() % 15;
            const ULONG port = in.next() % 8 == 7 ? in.next() : 0;
            std::size_t body = VRAX_CONTROL_BODY_SIZE;
            if (what % 5 == 4 && in.next() % 2 != 0)
                body = in.next16() % (VRAX_CONTROL_BODY_SIZE + 16);
            bytes input(VRAX_CONTROL_DESCRIPTOR_SIZE + body, 0);
            auto put32 = [&input](std::size_t at, ULONG v) {
                for (int b = 0; b < 4; ++b)
                    input[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
            };
            put32(0, kind);
            put32(4, key);
            put32(20, port);
            put32(24, services[in.next() % std::size(services)]);
            input[28] = in.next();
            const bytes head = in.take(std::min<std::size_t>(body, 24));
            std::copy(head.begin(), head.end(), input.begin() + VRAX_CONTROL_DESCRIPTOR_SIZE);
            result = SubmitControlIoctl(input.data(), static_cast<ULONG>(input.size()));
            break;
        }
    }
    fuzz::expect(result >= -5 && result <= 255, "a request result out of range");
    fuzz::expect(platform::lock_tracker::held_count() == 0, "a request left a lock held");
}

// A whole control message written to an unbound session's handle: sent as it is, under a
// transaction id the driver draws, and tracked.
void script::control_write(reader& in) {
    const slot& sl = slots[in.next() % slot_count];
    bytes m = in.take(6 + in.next() % 24);
    m[0] = VRAX_MESSAGE_REQUEST;
    fuzz::machine::put16(m, 4, static_cast<std::uint16_t>(m.size() - 6));
    if (sl.handle == nullptr || sl.service != 0)
        return;
    ios.push_back(fuzz::machine::start_write(sl.handle, std::move(m)));
}

bytes tlv(std::uint8_t type, const bytes& value) {
    bytes t{type, 0, 0};
    fuzz::machine::put16(t, 1, static_cast<std::uint16_t>(value.size()));
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

bytes result_tlv(std::uint16_t result, std::uint16_t error) {
    return tlv(VRAX_TLV_RESULT,
               {static_cast<std::uint8_t>(result), static_cast<std::uint8_t>(result >> 8),
                static_cast<std::uint8_t>(error), static_cast<std::uint8_t>(error >> 8)});
}

// A service table: TLV 0x01 with a count and entries (the count may claim more or fewer than
// are there), and maybe the second list after a TLV 0x10.
bytes service_table(reader& in) {
    bytes first{static_cast<std::uint8_t>(in.next() % 8)};
    const std::size_t entries = in.next() % 8;
    for (std::size_t i = 0; i < entries; ++i) {
        const bytes e = in.take(5);
        first.insert(first.end(), e.begin(), e.end());
    }
    bytes out = tlv(VRAX_TLV_PRIMARY, first);
    const std::uint8_t second = in.next();
    if (second % 3 != 0) {
        bytes skipped = tlv(VRAX_TLV_VALUE, in.take(second % 4));
        out.insert(out.end(), skipped.begin(), skipped.end());
        out.push_back(static_cast<std::uint8_t>(in.next() % 8));
        const std::size_t more = second % 3 == 1 ? entries : in.next() % 8;
        for (std::size_t i = 0; i < more; ++i) {
            const bytes e = in.take(5);
            out.insert(out.end(), e.begin(), e.end());
        }
    }
    return out;
}

// The TLVs after the result TLV, shaped for the message id or taken raw from the input.
bytes answer_tlvs(std::uint16_t message_id, reader& in) {
    const std::uint8_t shape = in.next();
    if (shape % 4 == 3)
        return in.take(in.next() % 48);  // anything at all
    switch (message_id) {
        case VRAX_CONTROL_CLIENT_ID_ID:
        case VRAX_CONTROL_RELEASE_ID:
            // Service type and client id; shorter values must not be read past.
            return tlv(VRAX_TLV_PRIMARY, in.take(shape % 4 == 2 ? in.next() % 2 : 2));
        case VRAX_CONTROL_VALUE_QUERY_ID: {
            bytes out;
            const std::size_t n = in.next() % 4;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t t = in.next();
                bytes v = tlv(t % 2 == 0 ? VRAX_TLV_VALUE : t, in.take(t % 4 == 0 ? 2 : t % 4));
                out.insert(out.end(), v.begin(), v.end());
            }
            return out;
        }
        case VRAX_CONTROL_SERVICE_TABLE_ID:
            return service_table(in);
        default:
            return in.take(in.next() % 16);
    }
}

// A control message from the far end: the header (message type, transaction id, message id,
// length field), a result TLV in one of several shapes, the operation's TLVs, then the frame
// around it whole, cut short or with bytes to spare.
void script::control_message(reader& in) {
    const std::uint8_t type_choice = in.next();
    // Mostly responses; requests, indications and unreadable types too.
    std::uint8_t type = VRAX_MESSAGE_RESPONSE;
    if (type_choice % 8 == 5)
        type = VRAX_MESSAGE_REQUEST;
    else if (type_choice % 8 == 6)
        type = VRAX_MESSAGE_INDICATION;
    else if (type_choice % 8 == 7)
        type = static_cast<std::uint8_t>(type_choice >> 3);
    const std::uint8_t id_choice = in.next();
    std::uint8_t id;
    std::uint16_t message_id;
    if (id_choice % 4 != 3 && !requests.empty()) {
        // One of the requests on the wire, newest most often.
        const sent_request& r = requests[requests.size() - 1 - (id_choice >> 2) % requests.size()];
        id = r.id;
        message_id = r.message_id;
    } else {
        id = in.next();
        message_id = message_ids[in.next() % std::size(message_ids)];
    }
    const std::uint8_t mid_choice = in.next();
    if (mid_choice % 8 == 7)
        message_id = mid_choice % 16 == 7 ? in.next16()
                                          : message_ids[(mid_choice >> 4) % std::size(message_ids)];

    bytes tlvs;
    const std::uint8_t result_choice = in.next();
    switch (result_choice % 6) {
        case 0:
        case 1:
            tlvs = result_tlv(0, 0);
            break;
        case 2:
            tlvs = result_tlv(VRAX_RESULT_FAILURE, VRAX_ERROR_NO_CLIENT_IDS);
            break;
        case 3:
            tlvs = result_tlv(in.next16(), in.next16());
            break;
        case 4:
            tlvs = tlv(VRAX_TLV_RESULT, in.take(result_choice / 6 % 4));  // too short
            break;
        default:
            break;  // none
    }
    const bytes rest = answer_tlvs(message_id, in);
    tlvs.insert(tlvs.end(), rest.begin(), rest.end());

    bytes m{
        type, id, static_cast<std::uint8_t>(message_id), static_cast<std::uint8_t>(message_id >> 8),
        0,    0};
    std::uint16_t length = static_cast<std::uint16_t>(tlvs.size());
    const std::uint8_t length_choice = in.next();
    if (length_choice % 8 == 5)
        length = static_cast<std::uint16_t>(length + 1);
    else if (length_choice % 8 == 6)
        length = static_cast<std::uint16_t>(length - 1);
    else if (length_choice % 8 == 7)
        length = in.next16();
    fuzz::machine::put16(m, 4, length);
    m.insert(m.end(), tlvs.begin(), tlvs.end());

    const std::uint8_t client_choice = in.next();
    const std::uint8_t client = client_choice % 8 == 7   ? VRAX_CLIENT_ID_BROADCAST
                                : client_choice % 8 == 6 ? in.next()
                                                         : 0;
    bytes f = fuzz::machine::frame(VRAX_SERVICE_CONTROL, client, m, in.next() % 4 == 3 ? 0x80 : 0);
    const std::uint8_t frame_choice = in.next();
    if (frame_choice % 8 == 6 && f.size() > 1)
        f.resize(1 + in.next() % (f.size() - 1));  // cut short
    else if (frame_choice % 8 == 7)
        for (std::size_t i = in.next() % 8; i != 0; --i)
            f.push_back(in.next());  // bytes the length field does not count
    (void)far_end::queue_read(0, std::move(f));
}

// The answer a modem gives to one of the requests on the wire: its id, its message id, a
// good result and the values it asked for.
void script::modem_answer(reader& in) {
    take_frames();
    if (requests.empty())
        return;
    const sent_request r = requests[requests.size() - 1 - in.next() % requests.size()];
    bytes tlvs = result_tlv(0, 0);
    switch (r.message_id) {
        case VRAX_CONTROL_CLIENT_ID_ID: {
            const std::uint8_t service = r.tlvs.size() >= 4 ? r.tlvs[3] : 1;
            const bytes t = tlv(VRAX_TLV_PRIMARY, {service, static_cast<std::uint8_t>(in.next())});
            tlvs.insert(tlvs.end(), t.begin(), t.end());
            break;
        }
        case VRAX_CONTROL_RELEASE_ID:
            if (r.tlvs.size() >= 5) {
                const bytes t = tlv(VRAX_TLV_PRIMARY, {r.tlvs[3], r.tlvs[4]});
                tlvs.insert(tlvs.end(), t.begin(), t.end());
            }
            break;
        case VRAX_CONTROL_VALUE_QUERY_ID: {
            const bytes t = tlv(VRAX_TLV_VALUE, in.take(2));
            tlvs.insert(tlvs.end(), t.begin(), t.end());
            break;
        }
        case VRAX_CONTROL_SERVICE_TABLE_ID: {
            const bytes t = service_table(in);
            tlvs.insert(tlvs.end(), t.begin(), t.end());
            break;
        }
        default:
            break;
    }
    bytes m{VRAX_MESSAGE_RESPONSE,
            r.id,
            static_cast<std::uint8_t>(r.message_id),
            static_cast<std::uint8_t>(r.message_id >> 8),
            0,
            0};
    fuzz::machine::put16(m, 4, static_cast<std::uint16_t>(tlvs.size()));
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    (void)far_end::queue_read(0, fuzz::machine::frame(VRAX_SERVICE_CONTROL, 0, m));
}

void script::finish_all() {
    for (std::size_t i = 0; i < slot_count; ++i)
        close(i);
    for (auto& io : ios) {
        io->finish();
        // A session's control write reports nothing written, whatever became of it.
        fuzz::expect(io->error != 0 || io->transferred == 0, "a control write reported bytes");
    }
}

// The far end's answer to a client-id release the driver sends at a session's clean-up.
void answer_releases(const bytes& f) {
    if (f.size() < 12 || f[4] != 0 || f[6] != 0 || f[8] != VRAX_CONTROL_RELEASE_ID)
        return;
    bytes tlvs = result_tlv(0, 0);
    if (f.size() >= 17) {
        const bytes t = tlv(VRAX_TLV_PRIMARY, {f[15], f[16]});
        tlvs.insert(tlvs.end(), t.begin(), t.end());
    }
    bytes m{VRAX_MESSAGE_RESPONSE, f[7], VRAX_CONTROL_RELEASE_ID, 0, 0, 0};
    fuzz::machine::put16(m, 4, static_cast<std::uint16_t>(tlvs.size()));
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    (void)far_end::queue_read(0, fuzz::machine::frame(VRAX_SERVICE_CONTROL, 0, m));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::adopt_thread();
    reader in{data, size};
    const std::uint8_t config = in.next();
    std::optional<bool> new_hwid;
    if (config % 3 != 2)
        new_hwid = config % 3 == 0;
    auto& b = fuzz::machine::batch::get();
    b.begin(new_hwid);
    script s;
    s.take_frames();  // the port-open routine's service-table request among them
    s.wire.answer_with((config & 0x10) == 0 ? answer_releases : fuzz::machine::wire::answerer{});
    const std::size_t first = 1 + in.next() % slot_count;
    for (std::size_t i = 0; i < first; ++i)
        s.open(i, in);

    for (int steps = 0; steps < 48 && in.left != 0; ++steps) {
        const std::uint8_t c = in.next();
        switch (c % 10) {
            case 0:
                s.control_message(in);
                break;
            case 1: {
                bytes raw = in.take(in.next16() & 0x0FFF);
                if (!raw.empty())
                    (void)far_end::queue_read(0, std::move(raw));
                break;
            }
            case 2:
                s.request(in);
                break;
            case 3:
                s.control_write(in);
                break;
            case 4:
                s.close(in.next() % slot_count);
                break;
            case 5:
                s.open(in.next() % slot_count, in);
                break;
            case 6:
                fuzz::machine::pass_ms(delays_ms[in.next() % std::size(delays_ms)]);
                break;
            case 7:
                if (!fuzz::machine::close_from_far_end())
                    (void)far_end::open_channel(0);
                break;
            case 8:
                fuzz::machine::pass_ms(1);
                s.take_frames();
                break;
            default:
                s.modem_answer(in);
                break;
        }
    }
    // Back to the load-time state for the next input.
    s.finish_all();
    fuzz::machine::pass_ms(1);
    s.take_frames();
    s.wire.answer_with({});
    fuzz::machine::expect(fuzz::machine::settle_port(), "port 0 open again");
    fuzz::expect(platform::lock_tracker::held_count() == 0, "a lock left held");
    fuzz::expect(platform::kernel::pool::outstanding(VRAX_TAG_DRIVER).count <= max_records,
                 "transaction records pile up");
    b.end();
    return 0;
}
