// Every I/O control of \\.\VRAX against the real driver on the real platform. Each input
// starts from the driver's load-time state (port 0 open at both ends, its service table
// asked for) with a scripted modem at the far end, and plays a script: handles opened
// (overlapped or synchronous) and closed, controls with any code, any input and output
// length up to 4096 bytes and any bytes, sent from the harness thread, from threads of their
// own, from threads that exit at once and from programs that end with them pending; the
// modem answering at once, late, twice, never, under the wrong transaction id or with an
// error; CancelIo and CancelIoEx; time passing beyond the 5-second answer time-out; port loss
// and re-open; messages for the sessions. Between inputs every request is waited for and every
// handle closed; the machine goes down with the verifier's final check at the end of each
// batch (see support/driver_machine.h).
//
// Findings: a bug check (the verifier's, the final check's), a deadlock report, a sanitizer
// report, or a failed expectation: a request that never completes; a control left blocking
// the sequential queue (a bind sent on every open handle once everything else is done must
// complete at once); an output buffer changed past what the control returned, or changed at
// all by a failed control; returned bytes the driver never wrote (the system buffer's fill
// where the input did not reach); and results no working driver gives (controls/check()).
//
// VRAX_FUZZ_SHOW set prints each control's outcome as it is checked.
//
// Input: byte 0 the machine ("SupportNewHWID" on, off or missing) and the modem's first
// policies (bit 4: releases never answered, bit 5: the service table held, bit 6: client ids
// held); byte 1 the handles opened at first (1..4), each followed by its open flags. Then
// commands, op = c % 16:
//   0  open a handle: slot, flags (bit 0 synchronous, bits 1-2 both set: no read or write
//      access)
//   1-3 a control on a slot's handle: slot (bit 7: no OVERLAPPED on a synchronous handle),
//      control (controls.h: code, shape, lengths, content)
//   4  a control from a thread that exits at once: slot, control
//   5  a program: count (1..3), end (bits 0-1: return, sleep then return, ExitProcess, close
//      the handle then return; bit 3: an ordinary user, refused by the device), controls
//   6  close a slot's handle          7  CancelIo on a slot
//   8  CancelIoEx on a slot: slot, which (odd: the newest control of the harness thread)
//   9  the modem's policy: kind, policy (bits 0-1 at once/hold/never/at once, bits 2-4 the
//      style),
//      16-bit value for value answers
//   10 answer a held request: index, style (bit 7: keep it held; bit 6: then, at once,
//      CancelIoEx on the slot that follows), 16-bit value
//   11 time passes: selector          12 the far end closes the channel (if served)
//   13 the far end opens it again     14 a message for a session: service, client, message
//   15 look at what has completed
#include <windows.h>

#include <vrax/vrax_ioctl.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

#include "core/scheduler.h"
#include "ioctl/controls.h"
#include "ioctl/far_modem.h"
#include "smd/far_end.h"
#include "support/driver_machine.h"
#include "support/fuzz_support.h"

#include "vrax_device.h"
#include "vrax_wire.h"

namespace {

namespace far_end = smd::far_end;
using fuzz::ioctl::answer_style;
using fuzz::ioctl::control_io;
using fuzz::ioctl::far_modem;
using fuzz::ioctl::issuer;
using fuzz::ioctl::policy;
using fuzz::ioctl::request_kind;
using fuzz::machine::bytes;
using fuzz::machine::pass_ms;
using fuzz::machine::reader;

constexpr std::size_t slot_count = 4;
constexpr std::size_t max_controls = 96;  // per input
constexpr std::size_t max_threads = 12;   // sync threads running at once
constexpr std::size_t max_programs = 4;   // per input
constexpr std::int64_t delays_ms[] = {0, 1, 10, 100, 1000, 4900, 5000, 5100};
constexpr std::uint8_t message_services[] = {1, 2, 3, 254};

struct slot {
    HANDLE handle = nullptr;
    bool synchronous = false;
};

struct sent {
    std::unique_ptr<control_io> io;
    int slot = -1;  // -1: a program's own handle
};

// What lives as long as the machine: the modem and the event handle values it returned.
struct since_boot {
    far_modem modem;
    fuzz::ioctl::event_handles events;
};

since_boot& boot_state() {
    static auto* s = new since_boot();
    return *s;
}

struct script {
    std::array<slot, slot_count> slots;
    std::vector<sent> ios;
    unsigned programs = 0;
    far_modem& modem = boot_state().modem;
    fuzz::ioctl::event_handles& events = boot_state().events;
    sim::machine& machine;

    explicit script(sim::machine& m) : machine(m) {}
    void open(std::size_t i, std::uint8_t flags);
    void close(std::size_t i);
    void cancel_on(std::size_t i);
    void control(reader& in, std::size_t i, bool no_overlapped, bool exiting);
    void program(reader& in);
    void message(reader& in);
    std::size_t threads_running() const;
    void check_finished();
    void release_sync(std::size_t i);
    void ensure_ready();
    void finish_all();
};

void script::open(std::size_t i, std::uint8_t flags) {
    if (slots[i].handle != nullptr)
        close(i);
    const bool synchronous = (flags & 1) != 0;
    const DWORD access = (flags & 6) == 6 ? 0 : GENERIC_READ | GENERIC_WRITE;
    HANDLE h = CreateFileW(u"\\\\.\\VRAX", access, 0, nullptr, OPEN_EXISTING,
                           synchronous ? 0 : FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Refused while the channel is closed (the device interface is disabled).
        fuzz::expect(GetLastError() != 0, "a refused open says why");
        return;
    }
    slots[i] = {h, synchronous};
}

std::size_t script::threads_running() const {
    std::size_t n = 0;
    for (const sent& s : ios)
        n += s.io->how == issuer::sync_thread && !s.io->done() ? 1 : 0;
    return n;
}

// A synchronous handle carries one request at a time, and its close waits behind the one in
// progress: a read the driver keeps parked would hold both for ever. Its requests are
// cancelled and waited for first, as a program that closes such a handle must do. A cancel
// reaches only the request in progress: the threads queued behind it on the handle send
// theirs one at a time after it, so it takes a round per thread (up to max_threads of them).
void script::release_sync(std::size_t i) {
    slot& sl = slots[i];
    if (sl.handle == nullptr || !sl.synchronous)
        return;
    auto unfinished = [&] {
        std::size_t n = 0;
        for (const sent& s : ios)
            n += s.slot == static_cast<int>(i) && !s.io->done() ? 1 : 0;
        return n;
    };
    // A round in which nothing came back may be a thread not yet at the handle; eight in a
    // row are a request the cancel does not reach.
    for (std::size_t waiting = unfinished(), stalled = 0; waiting != 0 && stalled < 8;) {
        (void)CancelIoEx(sl.handle, nullptr);
        for (sent& s : ios)
            if (s.slot == static_cast<int>(i))
                (void)s.io->finish(s.io->done() ? 0 : 100);
        const std::size_t left = unfinished();
        stalled = left < waiting ? 0 : stalled + 1;
        waiting = left;
    }
    for (sent& s : ios)
        if (s.slot == static_cast<int>(i))
            fuzz::machine::expect(s.io->finish(30000),
                                  "a cancelled control on a synchronous handle never completed");
}

void script::close(std::size_t i) {
    slot& sl = slots[i];
    if (sl.handle == nullptr)
        return;
    release_sync(i);
    // With a client id held this waits (in virtual time) for the release's confirmation.
    fuzz::expect(CloseHandle(sl.handle) != FALSE, "CloseHandle");
    sl = slot{};
}

void script::cancel_on(std::size_t i) {
    if (slots[i].handle != nullptr)
        (void)CancelIo(slots[i].handle);
}

void script::control(reader& in, std::size_t i, bool no_overlapped, bool exiting) {
    fuzz::ioctl::control_spec spec = fuzz::ioctl::read_control(in, events, modem);
    slot& sl = slots[i];
    if (sl.handle == nullptr || ios.size() >= max_controls)
        return;
    auto io = std::make_unique<control_io>(std::move(spec));
    io->synchronous_handle = sl.synchronous;
    if (sl.synchronous) {
        if (threads_running() >= max_threads)
            return;
        io->how = issuer::sync_thread;
        io->with_overlapped = !no_overlapped;
    } else {
        io->how = exiting ? issuer::exiting_thread : issuer::harness;
    }
    fuzz::ioctl::start(*io, sl.handle);
    if (io->how == issuer::exiting_thread) {
        // The thread's exit cancels its request; its handle is signalled once the request has
        // come back.
        fuzz::machine::expect(WaitForSingleObject(io->thread, 30000) == WAIT_OBJECT_0,
                              "a thread's exit did not end");
        fuzz::machine::expect(io->done(), "a request outlived the thread that sent it");
    }
    ios.push_back({std::move(io), static_cast<int>(i)});
}

// A program opens its own handle, sends its controls overlapped and ends with them pending:
// its exit cancels them (and waits for them), then closes its handle.
void script::program(reader& in) {
    const std::size_t count = 1 + in.next() % 3;
    const std::uint8_t end = in.next();
    std::vector<control_io*> mine;
    for (std::size_t k = 0; k < count; ++k) {
        auto io = std::make_unique<control_io>(fuzz::ioctl::read_control(in, events, modem));
        io->how = issuer::program;
        mine.push_back(io.get());
        ios.push_back({std::move(io), -1});
    }
    if (programs >= max_programs || ios.size() > max_controls) {
        for (control_io* io : mine)
            io->not_sent();
        return;
    }
    ++programs;
    const auto account =
        (end & 8) != 0 ? platform::io::token_kind::user : platform::io::token_kind::administrator;
    auto p = machine.host().run_program(account, "fuzz program", [mine, end] {
        HANDLE h = CreateFileW(u"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            for (control_io* io : mine)
                io->not_sent();
            return;
        }
        for (control_io* io : mine)
            io->send(h);
        switch (end % 4) {
            case 0:
                return;
            case 1:
                Sleep((end >> 4) * 400);
                return;
            case 2:
                ExitProcess(7);
            default:
                CloseHandle(h);
                return;
        }
    });
    p->wait();
    for (control_io* io : mine)
        fuzz::machine::expect(io->finish(0), "a program's request outlived the program");
}

// A service message for a session: service type, the client id (one the modem granted, or
// the broadcast id), then message type, length and bytes.
void script::message(reader& in) {
    const std::uint8_t service = message_services[in.next() % std::size(message_services)];
    const std::uint8_t choice = in.next();
    const std::uint8_t client =
        choice % 4 == 3 ? VRAX_CLIENT_ID_BROADCAST : modem.some_granted(choice >> 2);
    const std::uint8_t type = in.next();
    const std::size_t n = VRAX_SERVICE_HEADER_SIZE + in.next() % 40;
    bytes m = in.take(n);
    m[0] = type % 2 == 0 ? 2 : type >> 1;
    fuzz::machine::put16(m, VRAX_SERVICE_LENGTH_OFFSET,
                         static_cast<std::uint16_t>(n - VRAX_SERVICE_HEADER_SIZE));
    modem.deliver(service, client, m);
}

void script::check_finished() {
    for (sent& s : ios) {
        if (s.io->done() && s.io->finish(0))
            fuzz::ioctl::check(*s.io, modem, events);
    }
}

bool client_queue_running() {
    WdfWaitLockAcquire(ClientQueueLock, nullptr);
    const bool running = ClientQueueStopped == FALSE;
    WdfWaitLockRelease(ClientQueueLock);
    return running;
}

// Port 0 open at both ends and ready: its service table answered, so that the client queue
// runs again after a port loss.
void script::ensure_ready() {
    modem.set_policy(request_kind::service_table, policy::at_once, answer_style::correct);
    fuzz::machine::expect(fuzz::machine::settle_port(), "port 0 open again");
    for (int tries = 0; tries < 400 && !client_queue_running(); ++tries) {
        (void)modem.answer_newest_table();
        pass_ms(50);
    }
    fuzz::machine::expect(client_queue_running(), "port 0 never became ready again");
}

// Every request waited for and every handle closed, with the probe of the sequential queue
// on each handle before it closes.
void script::finish_all() {
    modem.set_policy(request_kind::release, policy::at_once, answer_style::correct);
    ensure_ready();
    for (std::size_t i = 0; i < slot_count; ++i)
        release_sync(i);
    // Everything but the reads ends by itself: answered, failed, or timed out after 5 s.
    for (sent& s : ios) {
        if (s.slot >= 0 && slots[s.slot].handle != nullptr &&
            fuzz::ioctl::is_read_control(s.io->spec.code))
            continue;
        fuzz::machine::expect(s.io->finish(60000), "a control never completed");
    }
    check_finished();
    // No control may leave the queue blocked: a bind on every handle completes at once.
    for (std::size_t i = 0; i < slot_count; ++i) {
        slot& sl = slots[i];
        if (sl.handle == nullptr)
            continue;
        fuzz::ioctl::control_spec probe{IOCTL_VRAX_BIND_SERVICE, {1, 0, 0, 0}, 8};
        control_io io(probe);
        io.synchronous_handle = sl.synchronous;
        io.how = sl.synchronous ? issuer::sync_thread : issuer::harness;
        fuzz::ioctl::start(io, sl.handle);
        fuzz::machine::expect(io.finish(1000), "a control left the sequential queue blocked");
        fuzz::machine::expect(io.error == 0 && io.transferred == 8, "the probing bind failed");
        fuzz::ioctl::check(io, modem, events);
        if (io.thread != nullptr)
            (void)WaitForSingleObject(io.thread, INFINITE);
    }
    for (std::size_t i = 0; i < slot_count; ++i)
        close(i);
    for (sent& s : ios) {
        fuzz::machine::expect(s.io->finish(60000), "a request never completed");
        if (s.io->thread != nullptr)
            (void)WaitForSingleObject(s.io->thread, INFINITE);
    }
    check_finished();
}

void apply_policy(far_modem& modem, std::uint8_t kind, std::uint8_t p) {
    modem.set_policy(static_cast<request_kind>(kind % static_cast<int>(request_kind::count)),
                     static_cast<policy>((p & 3) == 3 ? 0 : p & 3),
                     static_cast<answer_style>((p >> 2) % static_cast<int>(answer_style::count)));
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
    sim::machine& m = b.begin(new_hwid);
    auto& wire = b.frames();
    far_modem& modem = boot_state().modem;
    if (b.fresh()) {
        boot_state().events = {};
        modem.reset();
    }
    // The first policies; the frames the wire holds (a fresh machine's service-table request)
    // go to the modem as if they had just been written.
    modem.set_policy(request_kind::release, (config & 0x10) != 0 ? policy::never : policy::at_once,
                     answer_style::correct);
    modem.set_policy(request_kind::service_table,
                     (config & 0x20) != 0 ? policy::hold : policy::at_once, answer_style::correct);
    modem.set_policy(request_kind::client_id, (config & 0x40) != 0 ? policy::hold : policy::at_once,
                     answer_style::correct);
    wire.answer_with([&modem](const bytes& f) { modem.on_frame(f); });
    for (const bytes& f : wire.take())
        if (b.fresh())
            modem.on_frame(f);
    if (b.fresh() && (config & 0x20) == 0) {
        // The script starts once the service table is stored, unless it holds the answer.
        for (int tries = 0; tries < 100 && !client_queue_running(); ++tries)
            pass_ms(50);
        fuzz::machine::expect(client_queue_running(), "port 0 never became ready");
    }

    script s(m);
    const std::size_t first = 1 + in.next() % slot_count;
    for (std::size_t i = 0; i < first; ++i)
        s.open(i, in.next());

    for (int steps = 0; steps < 64 && in.left != 0; ++steps) {
        const std::uint8_t c = in.next();
        switch (c % 16) {
            case 0: {
                const std::uint8_t i = in.next();
                s.open(i % slot_count, in.next());
                break;
            }
            case 1:
            case 2:
            case 3: {
                const std::uint8_t i = in.next();
                s.control(in, i % slot_count, (i & 0x80) != 0, false);
                break;
            }
            case 4:
                s.control(in, in.next() % slot_count, false, true);
                break;
            case 5:
                s.program(in);
                break;
            case 6:
                s.close(in.next() % slot_count);
                break;
            case 7:
                s.cancel_on(in.next() % slot_count);
                break;
            case 8: {
                const slot& sl = s.slots[in.next() % slot_count];
                const std::uint8_t which = in.next();
                if (sl.handle == nullptr)
                    break;
                LPOVERLAPPED ov = nullptr;
                if (which % 2 != 0) {
                    for (auto it = s.ios.rbegin(); it != s.ios.rend(); ++it) {
                        if (it->io->how == issuer::harness && it->io->target == sl.handle) {
                            ov = &it->io->ov;
                            break;
                        }
                    }
                }
                (void)CancelIoEx(sl.handle, ov);
                break;
            }
            case 9: {
                const std::uint8_t kind = in.next();
                const std::uint8_t p = in.next();
                apply_policy(modem, kind, p);
                modem.set_value(in.next16());
                break;
            }
            case 10: {
                const std::uint8_t index = in.next();
                const std::uint8_t style = in.next();
                (void)modem.answer_held(index,
                                        static_cast<answer_style>(
                                            (style & 0x3F) % static_cast<int>(answer_style::count)),
                                        (style & 0x80) != 0, in.next16());
                if ((style & 0x40) != 0) {
                    // The cancel races the answer on its way to the waiting control.
                    const slot& sl = s.slots[in.next() % slot_count];
                    if (sl.handle != nullptr)
                        (void)CancelIoEx(sl.handle, nullptr);
                }
                break;
            }
            case 11:
                pass_ms(delays_ms[in.next() % std::size(delays_ms)]);
                break;
            case 12:
                (void)fuzz::machine::close_from_far_end();
                break;
            case 13:
                (void)far_end::open_channel(0);
                break;
            case 14:
                s.message(in);
                break;
            default:
                pass_ms(1);
                s.check_finished();
                (void)wire.take();
                break;
        }
        // What the command set off runs until every thread waits (virtual time moves only
        // then), so that the next command meets the same state on every run of the input.
        pass_ms(1);
    }
    // Back to the load-time state for the next input.
    s.finish_all();
    pass_ms(1);
    (void)wire.take();
    wire.answer_with({});
    fuzz::machine::expect(fuzz::machine::settle_port(), "port 0 open again");
    b.end();
    return 0;
}
