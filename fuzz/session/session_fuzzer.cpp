// Session traffic against the real driver on the real platform. Each input boots a machine to
// the driver's load-time state (port 0 open at both ends, the device interface enabled), opens
// a few handles of \\.\VRAX and binds their sessions, then plays a script of overlapped writes
// of any length, reads with any buffer size, frames from the far end (unicasts to a held
// client id, broadcasts, messages of type 2, anything), port loss and re-open, cancellations
// and handles closed with reads and held-back writes pending. At the end every handle is
// closed, every request the script started is waited for, and the machine goes down with the
// verifier's final check. Findings: a bug check, a deadlock report, a sanitizer report, or a
// failed expectation below.
//
// Input: byte 0 the machine ("SupportNewHWID" on, off or missing) and how the far end answers
// client-id releases (at once, or never); byte 1 the number of sessions opened at first
// (1..4), each followed by its binding (see bind_slot). Then commands, op = c % 12:
//   0  write: slot, length selector, then bytes of the message (a pattern past the input)
//   1  read: slot, buffer-size selector
//   2  unicast to a slot's client id: slot, message (type selector, length selector, bytes)
//   3  broadcast: service selector, message
//   4  raw frame: 16-bit length (top two bits clear), bytes
//   5  the far end closes the channel (if served) 6  the far end opens it again
//   7  close a slot's handle                   8  open a handle in a slot, binding
//   9  cancel a slot's requests (CancelIoEx)   10 time passes: selector
//   11 check what has completed and the frames written so far
//
// Expectations: a read that succeeds returns one whole message the far end sent, never more
// than its buffer; a write completes with all its bytes or none (a session not bound to a
// service, an unsendable write, a cancelled held write), a write longer than 65,530 bytes is
// refused with ERROR_INVALID_USER_BUFFER and sends nothing; every frame the driver writes for
// a service is one that a session's write asked for.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

#include "smd/far_end.h"
#include "support/driver_machine.h"
#include "support/fuzz_support.h"

#include "protocol/routing.h"
#include "protocol/routing_table.h"
#include "session/session.h"
#include "vrax_device.h"
#include "vrax_wire.h"

namespace {

namespace far_end = smd::far_end;
using fuzz::machine::bytes;
using fuzz::machine::pending_io;
using fuzz::machine::reader;

constexpr std::size_t slot_count = 4;
constexpr std::uint8_t services[] = {1, 2, 5, 254};
constexpr std::int64_t delays_ms[] = {0, 1, 10, 100, 1000, 5000};
constexpr DWORD error_cancelled = 995;     // ERROR_OPERATION_ABORTED
constexpr DWORD error_too_small = 122;     // ERROR_INSUFFICIENT_BUFFER
constexpr DWORD error_user_buffer = 1784;  // ERROR_INVALID_USER_BUFFER

struct slot {
    HANDLE handle = nullptr;
    ULONG key = 0;
    std::uint8_t service = 0;  // 0: not bound
    std::uint8_t client = 0;
};

struct io_record {
    std::unique_ptr<pending_io> io;
    bool bound = false;  // a write of a session bound to a service
    bool checked = false;
};

// What the script has done so far, and the checks of what came back.
struct script {
    std::array<slot, slot_count> slots;
    std::vector<io_record> ios;
    // What the far end sent and what the sessions wrote, since the machine booted: a frame
    // queued late in one input may still reach a session, or the wire, in the next.
    struct seen {
        std::set<bytes> sent_messages;    // service messages the far end sent
        std::set<bytes> expected_frames;  // frames that sessions' writes may produce
        std::set<bytes> control_writes;   // control messages written by unbound sessions
    };
    static seen& since_boot() {
        static seen s;
        return s;
    }
    std::set<bytes>& sent_messages = since_boot().sent_messages;
    std::set<bytes>& expected_frames = since_boot().expected_frames;
    std::set<bytes>& control_writes = since_boot().control_writes;
    fuzz::machine::wire& wire = fuzz::machine::batch::get().frames();

    void open(std::size_t i, reader& in);
    void close(std::size_t i);
    void write(reader& in);
    void read(reader& in);
    void deliver(std::uint8_t service, std::uint8_t client, reader& in);
    void note_raw(const bytes& chunk);
    void check_ios();
    void check_frames();
    void finish_all();
};

// The session behind a handle: the only session listed that was opened since the last look
// (handles are opened one at a time), found by its key being the newest.
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

// Binds the session as the bind controls and an allocation answer would, and records the
// client id in the port's routing table as the answer's handler does.
void bind_session(PCLIENT_CONTEXT s, std::uint8_t service, std::uint8_t client, bool held,
                  bool registered) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    s->PortIndex = 0;
    s->ServiceType = service;
    s->ClientId = client;
    s->ClientIdHeld = held ? 1 : 0;
    s->Kind = VRAX_SESSION_KIND_BOUND;
    WdfWaitLockRelease(ClientSessionsLock);
    if (registered) {
        WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
        WdfWaitLockAcquire(lock, nullptr);
        (void)RegisterClientId(s->SessionKey, 0, service, client);
        WdfWaitLockRelease(lock);
    }
}

// Binding byte: bits 0-1 the service (0: none, else services[]), bits 2-3 the client id
// (0, 1, 7, or the next byte), bit 4 the id held, bit 5 the id in the routing table.
void script::open(std::size_t i, reader& in) {
    if (slots[i].handle != nullptr)
        close(i);
    const std::uint8_t binding = in.next();
    HANDLE h = CreateFileW(u"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Refused while the channel is closed (the device interface is disabled).
        fuzz::expect(GetLastError() != 0, "a refused open says why");
        return;
    }
    PCLIENT_CONTEXT s = newest_session();
    fuzz::expect(s != nullptr, "an open handle has a session");
    slot& sl = slots[i];
    sl.handle = h;
    sl.key = s->SessionKey;
    sl.service = 0;
    sl.client = 0;
    if (binding % 4 != 0) {
        constexpr std::uint8_t clients[] = {0, 1, 7};
        const std::uint8_t c = (binding >> 2) % 4;
        sl.service = services[binding % 4];
        sl.client = c < 3 ? clients[c] : in.next();
        bind_session(s, sl.service, sl.client, (binding & 0x10) != 0, (binding & 0x20) != 0);
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

// Length selector: 0, 1, a header's 7 bytes, an odd length, anything up to a port read's
// size, the longest frameable message, one byte more, or well past it.
std::size_t write_length(reader& in) {
    switch (in.next() % 8) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return 7;
        case 3:
            return (in.next() | 1u);
        case 4:
            return in.next16() % 8194;
        case 5:
            return VRAX_MESSAGE_MAX_SIZE;
        case 6:
            return VRAX_MESSAGE_MAX_SIZE + 1;
        default:
            return VRAX_MESSAGE_MAX_SIZE + 1 + in.next16() % 8192;
    }
}

// The first bytes from the input (at most 32, so long writes stay cheap), the rest a pattern.
bytes message_bytes(reader& in, std::size_t n) {
    bytes head = in.take(std::min<std::size_t>(n, 32));
    bytes m(n);
    std::copy(head.begin(), head.end(), m.begin());
    for (std::size_t k = head.size(); k < n; ++k)
        m[k] = static_cast<std::uint8_t>(k * 7 + 3);
    return m;
}

void script::write(reader& in) {
    slot& sl = slots[in.next() % slot_count];
    const std::size_t n = write_length(in);
    bytes m = message_bytes(in, n);
    if (sl.handle == nullptr)
        return;
    io_record r;
    r.bound = sl.service != 0;
    if (n != 0 && n <= VRAX_MESSAGE_MAX_SIZE) {
        if (r.bound)
            expected_frames.insert(fuzz::machine::frame(sl.service, sl.client, m));
        else
            control_writes.insert(m);
    }
    r.io = fuzz::machine::start_write(sl.handle, std::move(m));
    ios.push_back(std::move(r));
}

void script::read(reader& in) {
    slot& sl = slots[in.next() % slot_count];
    std::size_t size;
    switch (in.next() % 6) {
        case 0:
            size = 1;
            break;
        case 1:
            size = 7;
            break;
        case 2:
            size = in.next();
            break;
        case 3:
            size = in.next16();
            break;
        case 4:
            size = 8193;
            break;
        default:
            size = 70000;
            break;
    }
    if (sl.handle == nullptr)
        return;
    io_record r;
    r.io = fuzz::machine::start_read(sl.handle, size);
    ios.push_back(std::move(r));
}

// A service message: type (2 half the time: it gives a write unit back), a 7-byte header
// whose length field is right or not, and a body.
void script::deliver(std::uint8_t service, std::uint8_t client, reader& in) {
    const std::uint8_t type_choice = in.next();
    const std::uint8_t type = type_choice % 2 == 0 ? 2 : type_choice >> 1;
    std::size_t n;
    switch (in.next() % 4) {
        case 0:
            n = 7;
            break;
        case 1:
            n = 7 + in.next() % 32;
            break;
        case 2:
            n = in.next() % 7;
            break;
        default:
            n = in.next16() % 8200;
            break;
    }
    bytes m = message_bytes(in, n);
    if (!m.empty())
        m[0] = type;
    if (m.size() >= 7)
        fuzz::machine::put16(m, 5, static_cast<std::uint16_t>(m.size() - 7));
    bytes f = fuzz::machine::frame(service, client, m);
    sent_messages.insert(std::move(m));
    (void)far_end::queue_read(0, std::move(f));
}

// A chunk of any bytes may still be a frame that reaches a session: what it could deliver is
// its payload, by the length field or by the bytes a port read takes of it.
void script::note_raw(const bytes& chunk) {
    constexpr std::size_t port_read = 8193;
    if (chunk.size() <= 6)
        return;
    const std::size_t read = std::min(chunk.size(), port_read);
    sent_messages.insert(bytes(chunk.begin() + 6, chunk.begin() + read));
    const std::size_t field = static_cast<std::size_t>(chunk[1] | chunk[2] << 8) + 1;
    if (field > 6 && field <= read)
        sent_messages.insert(bytes(chunk.begin() + 6, chunk.begin() + field));
}

void script::check_ios() {
    for (io_record& r : ios) {
        if (r.checked || !r.io->done())
            continue;
        r.io->finish();
        r.checked = true;
        pending_io& io = *r.io;
        if (io.read) {
            if (io.error == 0) {
                fuzz::expect(io.transferred <= io.buffer.size(), "a read past its buffer");
                // The framework completes a zero-length read itself.
                if (io.buffer.empty())
                    continue;
                bytes got(io.buffer.begin(), io.buffer.begin() + io.transferred);
                fuzz::expect(sent_messages.count(got) != 0,
                             "a read returned something other than one whole message sent");
            } else {
                fuzz::expect(io.error == error_too_small || io.error == error_cancelled,
                             "a read failed other than too small or cancelled");
                fuzz::expect(io.transferred == 0, "a failed read reports bytes");
            }
            continue;
        }
        const std::size_t n = io.buffer.size();
        if (n > VRAX_MESSAGE_MAX_SIZE) {
            fuzz::expect(io.error == error_user_buffer && io.transferred == 0,
                         "a write too long for a frame was not refused");
            continue;
        }
        if (io.error == 0) {
            fuzz::expect(io.transferred == 0 || (r.bound && io.transferred == n),
                         "a write reported a part of its bytes");
        } else {
            fuzz::expect(io.error == error_cancelled, "a write failed other than cancelled");
            fuzz::expect(io.transferred == 0, "a failed write reports bytes");
        }
    }
}

void script::check_frames() {
    for (const bytes& f : wire.take()) {
        fuzz::expect(f.size() >= 6 && f[0] == 0x01 &&
                         static_cast<std::size_t>(f[1] | f[2] << 8) == f.size() - 1,
                     "a frame with a wrong header");
        if (f[4] != 0) {
            fuzz::expect(expected_frames.count(f) != 0,
                         "the driver wrote a service frame no session wrote");
            continue;
        }
        // The control service: the driver's own requests (the port-open notice, the
        // service-table request, releases), or a control message an unbound session wrote,
        // sent under a transaction id the driver drew.
        bytes message(f.begin() + 6, f.end());
        if (message.size() >= 6 && message[0] == 0 &&
            (message[2] == 0x27 || message[2] == 0x21 || message[2] == 0x23) && message[3] == 0 &&
            f[5] == 0) {
            continue;
        }
        bool found = control_writes.count(message) != 0;
        if (!found && message.size() >= 6) {
            for (const bytes& w : control_writes) {
                if (w.size() == message.size() && w[0] == message[0] &&
                    std::equal(w.begin() + 2, w.end(), message.begin() + 2)) {
                    found = true;
                    break;
                }
            }
        }
        fuzz::expect(found, "the driver wrote a control frame nobody asked for");
    }
}

// Every handle closed (their clean-up cancels what waits in the driver's queues), then every
// request the script started waited for.
void script::finish_all() {
    for (std::size_t i = 0; i < slot_count; ++i)
        close(i);
    for (io_record& r : ios)
        r.io->finish();
    check_ios();
}

// The far end's part: client-id releases answered at once when the script says so, so
// clean-up's wait ends early (otherwise after its time-out).
void answer_releases(const bytes& f) {
    if (f.size() < 12 || f[4] != 0 || f[6] != 0 || f[8] != 0x23)
        return;
    bytes tlvs{0x02, 4, 0, 0, 0, 0, 0};
    if (f.size() >= 17)
        tlvs.insert(tlvs.end(), {0x01, 2, 0, f[15], f[16]});
    bytes m{1, f[7], 0x23, 0x00, 0, 0};
    fuzz::machine::put16(m, 4, static_cast<std::uint16_t>(tlvs.size()));
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    (void)far_end::queue_read(0, fuzz::machine::frame(0, 0, m));
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
    if (b.fresh())
        script::since_boot() = {};
    script s;
    s.wire.take();  // the driver's own control requests so far: nobody answers them here
    s.wire.answer_with((config & 0x10) == 0 ? answer_releases : fuzz::machine::wire::answerer{});
    const std::size_t first = 1 + in.next() % slot_count;
    for (std::size_t i = 0; i < first; ++i)
        s.open(i, in);

    for (int steps = 0; steps < 64 && in.left != 0; ++steps) {
        const std::uint8_t c = in.next();
        switch (c % 12) {
            case 0:
                s.write(in);
                break;
            case 1:
                s.read(in);
                break;
            case 2: {
                const slot& sl = s.slots[in.next() % slot_count];
                s.deliver(sl.service, sl.client, in);
                break;
            }
            case 3:
                s.deliver(services[in.next() % std::size(services)], VRAX_CLIENT_ID_BROADCAST, in);
                break;
            case 4: {
                bytes raw = in.take(in.next16() & 0x3FFF);
                s.note_raw(raw);
                if (!raw.empty())
                    (void)far_end::queue_read(0, std::move(raw));
                break;
            }
            case 5:
                (void)fuzz::machine::close_from_far_end();
                break;
            case 6:
                (void)far_end::open_channel(0);
                break;
            case 7:
                s.close(in.next() % slot_count);
                break;
            case 8:
                s.open(in.next() % slot_count, in);
                break;
            case 9: {
                const slot& sl = s.slots[in.next() % slot_count];
                if (sl.handle != nullptr)
                    (void)CancelIoEx(sl.handle, nullptr);
                break;
            }
            case 10:
                fuzz::machine::pass_ms(delays_ms[in.next() % std::size(delays_ms)]);
                break;
            default:
                fuzz::machine::pass_ms(1);
                s.check_ios();
                s.check_frames();
                break;
        }
    }
    // Back to the load-time state for the next input.
    s.finish_all();
    fuzz::machine::pass_ms(1);
    s.check_frames();
    s.wire.answer_with({});
    fuzz::machine::expect(fuzz::machine::settle_port(), "port 0 open again");
    s.ios.clear();
    b.end();
    return 0;
}
