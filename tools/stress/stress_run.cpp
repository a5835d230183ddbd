// The stress run (stress_run.h): set-up, the programs, the kernel clients, the controller and
// the teardown with the final check.
#include "stress_run.h"

#include <windows.h>

#include <vrax/vrax_interface.h>
#include <vrax/vrax_ioctl.h>
#include <vrax/vrax_names.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <utility>

#include "core/scheduler.h"
#include "kclient/kclient.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "win32/process.h"

#include "tag_codec.h"

namespace stress {
namespace {

using platform::scheduler;
namespace far_end = smd::far_end;

// Service types: programs use 1 (unicast, reads too small now and then) and 2 (also gets the
// broadcasts; its reads are always large enough, since a too-small read there would end the
// broadcast's delivery for the sessions after it); kernel clients use 3.
constexpr std::uint8_t unicast_service = 1;
constexpr std::uint8_t broadcast_service = 2;
constexpr std::uint8_t kernel_service = 3;
constexpr std::uint16_t request_message_id = 0x0010;
constexpr std::uint16_t indication_message_id = 0x0040;
constexpr DWORD read_length = 512;
constexpr DWORD small_read_length = 4;  // shorter than any message
constexpr DWORD write_wait_ms = 500;    // then the write is taken for held back and cancelled

// ---- Recording ------------------------------------------------------------------------------

std::atomic<stamp> stamp_counter{1};
stamp next_stamp() {
    return stamp_counter.fetch_add(1, std::memory_order_acq_rel);
}

// What the modem saw, from its watcher.
struct channel_record {
    std::mutex lock;
    std::vector<modem_frame> received;
    std::vector<modem_frame> sent;
    std::vector<port_down> downs;
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> tables{0};  // service-table answers sent
    std::uint64_t untagged_received = 0;
};

channel_record channel;
thread_local stamp sending_stamp = 0;

void watch(const modem::watch_event& e) {
    using k = modem::watch_event::kind;
    if (e.what == k::sending) {
        sending_stamp = next_stamp();
        return;
    }
    if (e.what != k::received && e.what != k::sent)
        return;
    channel.frames.fetch_add(1, std::memory_order_relaxed);
    const modem::bytes& f = *e.frame;
    if (f.size() < modem::frame_header_size)
        return;
    const std::uint8_t service = f[4];
    const std::uint8_t client = f[5];
    if (service == modem::control_service) {
        // The control header: type, transaction id, message id.
        if (e.what == k::sent && f.size() >= 10 && f[6] == modem::control_response &&
            f[8] == modem::msg_service_table)
            channel.tables.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    auto t = find_tag(f.data() + modem::frame_header_size, f.size() - modem::frame_header_size);
    std::lock_guard g(channel.lock);
    if (!t) {
        ++channel.untagged_received;
        return;
    }
    if (e.what == k::received) {
        channel.requests.fetch_add(1, std::memory_order_relaxed);
        channel.received.push_back({*t, service, client, next_stamp(), true});
    } else {
        channel.sent.push_back({*t, service, client, sending_stamp, NT_SUCCESS(e.status)});
    }
}

// Who holds which client id, as the programs and kernel clients know it: the controller
// addresses its indications to these.
struct holdings {
    std::mutex lock;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint32_t> held;
    void add(std::uint8_t service, std::uint8_t id, std::uint32_t session) {
        std::lock_guard g(lock);
        held[{service, id}] = session;
    }
    void drop_session(std::uint32_t session) {
        std::lock_guard g(lock);
        std::erase_if(held, [&](const auto& e) { return e.second == session; });
    }
    void clear() {
        std::lock_guard g(lock);
        held.clear();
    }
    std::optional<std::pair<std::uint8_t, std::uint8_t>> pick(std::mt19937_64& rng) {
        std::lock_guard g(lock);
        if (held.empty())
            return std::nullopt;
        auto it = held.begin();
        std::advance(it, static_cast<long>(rng() % held.size()));
        return it->first;
    }
};

holdings ids;

// Sessions of the whole run; records stay where they are (a deque).
struct session_book {
    std::mutex lock;
    std::deque<session_record> sessions;
    std::uint32_t next_id = 1;
    session_record* open(bool kernel) {
        std::lock_guard g(lock);
        session_record& s = sessions.emplace_back();
        s.id = next_id++;
        s.kernel = kernel;
        s.opened = next_stamp();
        return &s;
    }
};

session_book book;

struct run_counts {
    std::atomic<std::uint64_t> opens{0}, open_refused{0}, binds{0}, bind_failed{0}, id_requests{0},
        ids_granted{0}, ids_refused{0}, id_cancels{0}, id_failed{0}, read_cancels{0}, closes{0},
        small_reads{0}, lost_notices{0}, ready_notices{0}, kills{0}, port_losses{0}, indications{0},
        broadcasts{0}, kernel_registrations{0}, kernel_refused{0}, written{0}, bursts{0};
};
run_counts counts;

std::atomic<bool> draining{false};
std::atomic<bool> stopping{false};

// ---- Programs -------------------------------------------------------------------------------

// One overlapped operation whose memory outlives the thread that started it: a killed
// program's thread unwinds while the platform still completes its requests.
struct overlapped_op {
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer;
    bool pending = false;
    bool ours_cancelled = false;
};

// Everything a session's I/O touches, kept by the program's slot.
struct session_io {
    HANDLE h = INVALID_HANDLE_VALUE;
    overlapped_op read, notice, control, write;
    std::vector<std::unique_ptr<overlapped_op>> spare;  // controls cancelled at once
};

struct program_slot {
    unsigned index = 0;
    std::uint8_t service = unicast_service;
    std::uint64_t remaining = 0;  // requests still to write (the program's thread only)
    std::mt19937_64 rng;
    std::shared_ptr<sim::program> prog;
    std::unique_ptr<session_io> io;
    session_record* session = nullptr;
    std::vector<write_record> writes;
    std::atomic<bool> done_sending{false};
    std::atomic<bool> finished{false};
    unsigned incarnation = 0;
};

void make_event(overlapped_op& op) {
    op.ov = OVERLAPPED{};
    op.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

struct completion {
    NTSTATUS status = STATUS_PENDING;
    DWORD bytes = 0;
};

// Waits for `op` through its event (also after its handle is closed) and takes its result.
completion collect(session_record& s, overlapped_op& op) {
    WaitForSingleObject(op.ov.hEvent, INFINITE);
    completion c;
    c.status = static_cast<NTSTATUS>(static_cast<ULONG>(op.ov.Internal));
    c.bytes = static_cast<DWORD>(op.ov.InternalHigh);
    op.pending = false;
    ++s.collected;
    return c;
}

// Whether `op` has completed, without waiting.
bool completed(overlapped_op& op) {
    return WaitForSingleObject(op.ov.hEvent, 0) == WAIT_OBJECT_0;
}

bool start_started(session_record& s, overlapped_op& op, BOOL started) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        // Failed at once: nothing is pending (the I/O manager completed nothing).
        op.pending = false;
        return false;
    }
    op.pending = true;
    ++s.started;
    return true;
}

class program {
  public:
    explicit program(program_slot& slot) : c_(slot) {}

    void main() {
        while (!stopping.load()) {
            if (!open_session()) {
                // The port is down for a while: each wake-up of every thread costs real time.
                Sleep(50);
                continue;
            }
            const bool final = traffic();
            end_session(final);
            if (final)
                break;
        }
        c_.finished = true;
    }

  private:
    std::uint64_t rand(std::uint64_t n) { return c_.rng() % n; }

    bool open_session() {
        c_.io = std::make_unique<session_io>();
        session_io& io = *c_.io;
        io.h = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (io.h == INVALID_HANDLE_VALUE) {
            ++counts.open_refused;
            return false;
        }
        ++counts.opens;
        s_ = book.open(false);
        c_.session = s_;
        s_->service = c_.service;
        make_event(io.read);
        make_event(io.notice);
        make_event(io.control);
        make_event(io.write);
        id_ = std::nullopt;
        extra_ids_ = 0;
        number_ = 0;
        lost_ = false;

        // Bind (8 bytes in: service, port 0; 8 bytes out: the version words).
        s_->bind_begin = next_stamp();
        std::uint8_t in[8] = {c_.service, 0, 0, 0, 0, 0, 0, 0};
        completion r = control(IOCTL_VRAX_BIND_SERVICE, in, 8, 8);
        if (r.status != STATUS_SUCCESS) {
            ++counts.bind_failed;
            s_->bind_begin = never;
            return true;  // the session is open; traffic() sees it unbound and ends it
        }
        s_->bind_done = next_stamp();
        ++counts.binds;
        arm_notice();
        request_id(false);
        return true;
    }

    completion control(DWORD code, const std::uint8_t* in, DWORD in_length, DWORD out_length) {
        overlapped_op& op = c_.io->control;
        ResetEvent(op.ov.hEvent);
        op.buffer.assign(std::max<DWORD>(in_length, out_length), 0);
        std::copy(in, in + in_length, op.buffer.begin());
        BOOL started = DeviceIoControl(c_.io->h, code, op.buffer.data(), in_length,
                                       out_length != 0 ? op.buffer.data() : nullptr, out_length,
                                       nullptr, &op.ov);
        if (!start_started(*s_, op, started))
            return {STATUS_UNSUCCESSFUL, 0};
        return collect(*s_, op);
    }

    void request_id(bool cancel_at_once) {
        ++counts.id_requests;
        std::uint8_t in[4] = {c_.service, 0, 0, 0};
        session_record::hold hd;
        hd.begin = next_stamp();
        completion r;
        if (cancel_at_once) {
            // A control of its own, cancelled as soon as it is sent.
            auto op = std::make_unique<overlapped_op>();
            make_event(*op);
            op->buffer.assign(4, 0);
            std::copy(in, in + 4, op->buffer.begin());
            BOOL started = DeviceIoControl(c_.io->h, IOCTL_VRAX_GET_CLIENT_ID, op->buffer.data(), 4,
                                           op->buffer.data(), 1, nullptr, &op->ov);
            if (!start_started(*s_, *op, started)) {
                ++counts.id_failed;
                CloseHandle(op->ov.hEvent);
                return;
            }
            CancelIoEx(c_.io->h, &op->ov);
            ++counts.id_cancels;
            r = collect(*s_, *op);
            if (r.status == STATUS_SUCCESS && r.bytes == 1)
                op->buffer.resize(1);
            CloseHandle(op->ov.hEvent);
            if (r.status == STATUS_SUCCESS && r.bytes == 1)
                granted(hd, op->buffer[0]);
            else
                ++counts.id_failed;
            return;
        }
        r = control(IOCTL_VRAX_GET_CLIENT_ID, in, 4, 1);
        if (r.status == STATUS_SUCCESS && r.bytes == 1)
            granted(hd, c_.io->control.buffer[0]);
        else
            ++counts.id_failed;
    }

    void granted(session_record::hold hd, std::uint8_t id) {
        if (id == 0xFF || id == 0) {
            ++counts.ids_refused;
            return;
        }
        ++counts.ids_granted;
        hd.id = id;
        hd.done = next_stamp();
        s_->holds.push_back(hd);
        id_ = id;
        ids.add(c_.service, id, s_->id);
    }

    void arm_notice() {
        overlapped_op& op = c_.io->notice;
        ResetEvent(op.ov.hEvent);
        op.buffer.assign(8, 0);
        BOOL started = DeviceIoControl(c_.io->h, IOCTL_VRAX_READ_NOTIFICATION, nullptr, 0,
                                       op.buffer.data(), 8, nullptr, &op.ov);
        start_started(*s_, op, started);
    }

    void check_notice() {
        overlapped_op& op = c_.io->notice;
        if (!op.pending || !completed(op))
            return;
        completion r = collect(*s_, op);
        if (r.status == STATUS_SUCCESS && r.bytes == 8) {
            if (op.buffer[0] == 1) {
                ++counts.lost_notices;
                lost_ = true;  // the session's ids are void: a new session
                return;
            }
            ++counts.ready_notices;
        }
        arm_notice();
    }

    void arm_read() {
        overlapped_op& op = c_.io->read;
        if (op.pending)
            return;
        ResetEvent(op.ov.hEvent);
        const bool small = c_.service == unicast_service && rand(50) == 0;
        op.buffer.assign(small ? small_read_length : read_length, 0);
        BOOL started = ReadFile(c_.io->h, op.buffer.data(), static_cast<DWORD>(op.buffer.size()),
                                nullptr, &op.ov);
        start_started(*s_, op, started);
    }

    void take_read(completion r) {
        session_record::read rd;
        rd.at = next_stamp();
        overlapped_op& op = c_.io->read;
        if (r.status == STATUS_SUCCESS) {
            auto t = find_tag(op.buffer.data(), std::min<std::size_t>(r.bytes, op.buffer.size()));
            rd.what = session_record::read::result::message;
            rd.t = t ? *t : 0;
        } else if (r.status == STATUS_BUFFER_TOO_SMALL) {
            ++counts.small_reads;
            rd.what = session_record::read::result::too_small;
        } else {
            rd.what = session_record::read::result::other;
        }
        s_->reads.push_back(rd);
    }

    // Takes the read's result if it has completed, or after waiting up to `ms`.
    bool poll_read(DWORD ms) {
        overlapped_op& op = c_.io->read;
        if (!op.pending)
            return false;
        if (WaitForSingleObject(op.ov.hEvent, ms) != WAIT_OBJECT_0)
            return false;
        completion r = collect(*s_, op);
        take_read(r);
        return r.status == STATUS_SUCCESS;
    }

    // Writes one request; false when it was held back until the program cancelled it.
    bool write_request() {
        overlapped_op& op = c_.io->write;
        write_record w;
        w.t = make_tag(tag_kind::request, s_->id, number_);
        w.session = s_->id;
        w.service = c_.service;
        w.client_id = *id_;
        op.buffer = tagged_message(0, static_cast<std::uint16_t>(number_), request_message_id, w.t);
        ++number_;
        --c_.remaining;
        ResetEvent(op.ov.hEvent);
        w.read_pending = c_.io->read.pending;
        w.begin = next_stamp();
        c_.writes.push_back(w);
        write_record& rec = c_.writes.back();
        BOOL started = WriteFile(c_.io->h, op.buffer.data(), static_cast<DWORD>(op.buffer.size()),
                                 nullptr, &op.ov);
        if (!start_started(*s_, op, started)) {
            rec.end = next_stamp();
            rec.result = write_record::outcome::refused;
            rec.status = 0xFFFFFFFF;
            rec.bytes = GetLastError();
            Sleep(20);  // the port is going down: let time pass
            return true;
        }
        // A write sent at once has completed inside the call; one still pending is held back.
        rec.held = !completed(op);
        bool cancelled = false;
        if (WaitForSingleObject(op.ov.hEvent, write_wait_ms) != WAIT_OBJECT_0) {
            CancelIoEx(c_.io->h, &op.ov);
            cancelled = true;
        }
        completion r = collect(*s_, op);
        rec.end = next_stamp();
        rec.status = static_cast<std::uint32_t>(r.status);
        rec.bytes = r.bytes;
        if (r.status == STATUS_SUCCESS && r.bytes == op.buffer.size()) {
            rec.result = write_record::outcome::sent;
            ++counts.written;
        } else if (r.status == STATUS_CANCELLED && cancelled) {
            rec.result = write_record::outcome::cancelled;
            return false;
        } else {
            rec.result = write_record::outcome::refused;
            Sleep(20);
        }
        return true;
    }

    // The session's traffic; true when the program is done and has drained (the final
    // session), false when the session is to end and another to begin.
    bool traffic() {
        if (s_->bind_done == never)
            return false;
        for (;;) {
            check_notice();
            if (lost_) {
                read_stored();
                return false;
            }
            arm_read();
            if (!c_.io->read.pending) {
                // Refused at once (the port is going down): let time pass.
                Sleep(20);
                continue;
            }
            poll_read(0);
            if (c_.remaining == 0) {
                c_.done_sending = true;
                if (draining.load())
                    return drain();
                // Waiting for the others: long waits, since each step of virtual time wakes
                // every thread.
                poll_read(100);
                continue;
            }
            const std::uint64_t pick = rand(1000);
            if (pick < 600) {
                if (id_)
                    write_request();
                else if (rand(20) == 0)
                    return false;  // no id to be had: try again in a new session
                else
                    poll_read(10);
            } else if (pick < 900) {
                poll_read(static_cast<DWORD>(rand(20)));
            } else if (pick < 960) {
                if (c_.io->read.pending) {
                    CancelIoEx(c_.io->h, &c_.io->read.ov);
                    ++counts.read_cancels;
                    take_read(collect(*s_, c_.io->read));
                }
            } else if (pick < 970) {
                if (!id_ || extra_ids_ < 2) {
                    ++extra_ids_;
                    request_id(rand(3) == 0);
                }
            } else if (pick < 972) {
                return false;  // the program closes its handle and opens another
            } else if (pick < 980 && id_) {
                // A burst of writes without reading: the answers pile up in the session's
                // store, and flow control holds the writes back once 15 are outstanding.
                ++counts.bursts;
                // It stops at the first write held back for its whole wait.
                for (std::uint64_t n = 5 + rand(20); n > 0 && c_.remaining > 0; --n) {
                    if (!write_request())
                        break;
                }
            }
        }
    }

    // Reads what the session holds already (a read of a stored message completes inside
    // ReadFile), as a program does before it gives up a session the port loss ended.
    void read_stored() {
        for (;;) {
            arm_read();
            if (!c_.io->read.pending || !poll_read(0))
                return;
        }
    }

    // Reads what is still on its way until nothing more comes for a while.
    bool drain() {
        for (;;) {
            check_notice();
            arm_read();
            if (!poll_read(300))
                return true;
        }
    }

    void end_session(bool final) {
        session_io& io = *c_.io;
        if (s_ == nullptr) {
            return;
        }
        ids.drop_session(s_->id);
        s_->close_begin = next_stamp();
        s_->final_close = final;
        ++counts.closes;
        // Usually the program cancels what it has pending; now and then it leaves the reads
        // to the clean-up, which purges them.
        const bool leave = rand(4) == 0;
        for (overlapped_op* op : {&io.read, &io.notice}) {
            if (op->pending && !leave)
                CancelIoEx(io.h, &op->ov);
        }
        CloseHandle(io.h);
        io.h = INVALID_HANDLE_VALUE;
        if (io.read.pending)
            take_read(collect(*s_, io.read));
        if (io.notice.pending)
            collect(*s_, io.notice);
        for (overlapped_op* op : {&io.read, &io.notice, &io.control, &io.write})
            CloseHandle(op->ov.hEvent);
        s_->closed = next_stamp();
        s_ = nullptr;
        c_.session = nullptr;
    }

    program_slot& c_;
    session_record* s_ = nullptr;
    std::optional<std::uint8_t> id_;
    unsigned extra_ids_ = 0;
    std::uint32_t number_ = 0;
    bool lost_ = false;
};

// ---- Kernel clients -------------------------------------------------------------------------

struct kernel_client;
kernel_client* kernel_clients[max_kernel_clients];

struct kernel_client {
    unsigned index = 0;
    VRAX_KERNEL_INTERFACE iface{};
    PVRAX_KERNEL_RECEIVE_CALLBACK callback = nullptr;
    std::mt19937_64 rng;
    std::uint64_t remaining = 0;
    std::vector<write_record> writes;
    std::shared_ptr<scheduler::joinable> thread;

    // Guarded by lock: the callback runs on VRAX's port thread.
    std::mutex lock;
    session_record* session = nullptr;
    std::optional<std::uint8_t> id;
    stamp id_begin = 0;

    std::atomic<bool> pause_asked{false};
    std::atomic<bool> has_id{false};  // id, for the wait below
    std::atomic<bool> paused{false};
    std::atomic<bool> done_sending{false};
    std::atomic<bool> finished{false};
    VRAX_KERNEL_CLIENT_HANDLE handle = nullptr;
    std::uint32_t number = 0;

    void receive(ULONG service, ULONG client_id, PUCHAR message, ULONG length) {
        std::lock_guard g(lock);
        if (session == nullptr)
            return;
        if (service == modem::control_service) {
            // The answer to our client-id request: result TLV, then {service, id}.
            if (length >= 6 && message[0] == modem::control_response &&
                message[2] == modem::msg_client_id) {
                for (std::size_t p = 6; p + 3 <= length;) {
                    const std::size_t len =
                        static_cast<std::size_t>(message[p + 1] | (message[p + 2] << 8));
                    if (p + 3 + len > length)
                        break;
                    if (message[p] == 0x01 && len == 2 && message[p + 3] == kernel_service) {
                        session_record::hold hd{message[p + 4], id_begin, next_stamp()};
                        session->holds.push_back(hd);
                        id = hd.id;
                        has_id = true;
                        ++counts.ids_granted;
                    }
                    p += 3 + len;
                }
            }
            return;
        }
        (void)client_id;
        auto t = find_tag(message, length);
        session->reads.push_back({next_stamp(), session_record::read::result::message, t ? *t : 0});
    }

    bool start_registration() {
        VRAX_KERNEL_CLIENT_HANDLE h = nullptr;
        {
            std::lock_guard g(lock);
            session = book.open(true);
            session->service = kernel_service;
            id = std::nullopt;
            has_id = false;
        }
        if (iface.KernelClientRegister(callback, nullptr, nullptr, &h, nullptr) != 0) {
            ++counts.kernel_refused;
            std::lock_guard g(lock);
            session->close_begin = session->closed = next_stamp();
            session = nullptr;
            return false;
        }
        handle = h;
        ++counts.kernel_registrations;
        // A control request for a client id of service 3: header, TLV 0x01 = {3}.
        std::vector<UCHAR> request{0x00, 0x00, 0x22, 0x00, 0x04,
                                   0x00, 0x01, 0x01, 0x00, kernel_service};
        {
            std::lock_guard g(lock);
            id_begin = next_stamp();
        }
        ++counts.id_requests;
        iface.KernelClientSendControl(handle, 0, request.data(),
                                      static_cast<ULONG>(request.size()));
        return true;
    }

    void end_registration(bool final) {
        if (handle == nullptr)
            return;
        std::uint32_t sid;
        {
            std::lock_guard g(lock);
            sid = session->id;
        }
        ids.drop_session(sid);
        {
            std::lock_guard g(lock);
            session->close_begin = next_stamp();
            session->final_close = final;
        }
        iface.KernelClientDeregister(handle);
        handle = nullptr;
        std::lock_guard g(lock);
        session->closed = next_stamp();
        session = nullptr;
        id = std::nullopt;
        has_id = false;
    }

    // Waits up to `ms` of virtual time, or until the controller asks for a pause, the run
    // drains, or (`until_id`) the client id arrives. Busy programs keep virtual time from
    // moving, so a plain Sleep could keep a kernel client from pausing for a long while.
    void nap(DWORD ms, bool until_id) {
        auto& sch = scheduler::get();
        const platform::ticks later = sch.now() + ms * platform::ticks_per_ms;
        std::unique_lock lk(sch.lock());
        sch.block(
            lk,
            [this, until_id] {
                return pause_asked.load() || draining.load() || (until_id && has_id.load());
            },
            later, "stress: kernel client waits");
    }

    std::optional<std::uint8_t> current_id() {
        std::lock_guard g(lock);
        return id;
    }

    void send() {
        write_record w;
        {
            std::lock_guard g(lock);
            w.session = session->id;
        }
        w.t = make_tag(tag_kind::request, w.session, number);
        w.service = kernel_service;
        w.client_id = *current_id();
        modem::bytes m =
            tagged_message(0, static_cast<std::uint16_t>(number), request_message_id, w.t);
        ++number;
        --remaining;
        w.begin = next_stamp();
        LONG r = iface.KernelClientSendMessage(nullptr, 0, kernel_service, w.client_id, m.data(),
                                               static_cast<ULONG>(m.size()));
        w.end = next_stamp();
        w.result = r == 0 ? write_record::outcome::sent : write_record::outcome::refused;
        if (r == 0)
            ++counts.written;
        writes.push_back(w);
    }

    void main() {
        bool registered = false;
        bool announced = false;
        for (;;) {
            if (pause_asked.load()) {
                // Around a port loss: stop, then start over with a new registration.
                end_registration(false);
                registered = false;
                announced = false;
                paused = true;
                {
                    // Until the controller lets it go again (it wakes the scheduler then); a
                    // wait rather than a poll, since each poll moves virtual time by a step
                    // that wakes every thread.
                    auto& sch = scheduler::get();
                    std::unique_lock lk(sch.lock());
                    sch.block(
                        lk, [this] { return !pause_asked.load(); }, platform::no_deadline,
                        "stress: kernel client paused for a port loss");
                }
                paused = false;
            }
            if (!registered) {
                registered = start_registration();
                if (!registered) {
                    Sleep(10);
                    continue;
                }
            }
            auto held = current_id();
            if (held && !announced) {
                std::uint32_t sid;
                {
                    std::lock_guard g(lock);
                    sid = session->id;
                }
                ids.add(kernel_service, *held, sid);
                announced = true;
            }
            if (remaining == 0) {
                done_sending = true;
                if (draining.load())
                    break;
                nap(10, false);
                continue;
            }
            if (!held) {
                nap(5, true);
                continue;
            }
            send();
            if (rng() % 8 == 0)
                nap(static_cast<DWORD>(rng() % 4), false);
        }
        // Drained: nothing comes any more once the programs have drained.
        Sleep(300);
        end_registration(true);
        finished = true;
    }
};

template <unsigned I>
VOID NTAPI kernel_receive(ULONG, ULONG service, ULONG client_id, ULONG, PUCHAR message,
                          ULONG length) {
    if (kernel_clients[I] != nullptr)
        kernel_clients[I]->receive(service, client_id, message, length);
}

template <unsigned... I>
constexpr std::array<PVRAX_KERNEL_RECEIVE_CALLBACK, sizeof...(I)> callbacks(
    std::integer_sequence<unsigned, I...>) {
    return {&kernel_receive<I>...};
}
constexpr auto kernel_callbacks =
    callbacks(std::make_integer_sequence<unsigned, max_kernel_clients>{});

// ---- The controller -------------------------------------------------------------------------

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "stress: the controller lets the machine run");
}

// Waits until `done` (read under the scheduler's lock, on every wake-up: it may read only
// atomics) or `ms` of virtual time. Busy programs keep virtual time from moving, so the
// condition must end the wait, not a step of time.
template <class F>
bool wait_until(F done, std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [&] { return done(); }, later, "stress: the controller waits for a condition");
    return done();
}

modem::config modem_settings() {
    modem::config c;
    std::vector<std::uint8_t> pool;
    for (unsigned id = 1; id <= 250; ++id)
        pool.push_back(static_cast<std::uint8_t>(id));
    c.services = {modem::service::make(unicast_service, pool, 250),
                  modem::service::make(broadcast_service, pool, 250),
                  modem::service::make(kernel_service, pool, 250)};
    c.keep_log = false;
    c.request_history = 64;
    return c;
}

std::string hms(double seconds) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f s", seconds);
    return b;
}

}  // namespace

result run(const options& o) {
    result out;
    const auto t0 = std::chrono::steady_clock::now();
    far_end::reset();
    sim::machine_options mo;
    mo.trace_level = 0;  // millions of frames: no trace session
    auto machine = std::make_unique<sim::machine>(mo);
    auto mdm = std::make_unique<modem::emulator>(modem_settings());
    mdm->watch(watch);
    mdm->start(0);
    if (!NT_SUCCESS(smd::install()) || !NT_SUCCESS(machine->boot())) {
        out.failure = "the machine did not boot";
        return out;
    }
    if (!mdm->wait_for_request(modem::control_service, modem::msg_port_open, 5000) ||
        !wait_until([] { return channel.tables.load() > 0; }, 5000)) {
        out.failure = "port 0 did not open";
        return out;
    }
    settle_ms(50);

    // Kernel clients, through the kernel client driver's interface.
    std::vector<std::unique_ptr<kernel_client>> kcs;
    sim::installed_driver* kc_driver = nullptr;
    const unsigned kernel_count = std::min(o.kernel_clients, max_kernel_clients);
    if (kernel_count > 0) {
        kc_driver = &machine->host().install(kclient::package());
        if (!NT_SUCCESS(kc_driver->boot()) ||
            !NT_SUCCESS(kclient::connect(machine->control_device_object()))) {
            out.failure = "the kernel client driver did not connect";
            return out;
        }
        const VRAX_KERNEL_INTERFACE iface = *kclient::interface();
        for (unsigned i = 0; i < kernel_count; ++i) {
            auto k = std::make_unique<kernel_client>();
            k->index = i;
            k->iface = iface;
            k->callback = kernel_callbacks[i];
            k->rng.seed(o.seed * 1000003 + 7919 * (i + 1));
            k->remaining = o.messages;
            kernel_clients[i] = k.get();
            kcs.push_back(std::move(k));
        }
        for (auto& k : kcs) {
            kernel_client* kp = k.get();
            kp->thread = scheduler::get().start_thread(
                "stress kernel client " + std::to_string(kp->index), [kp] { kp->main(); });
        }
    }

    // Programs.
    std::vector<std::unique_ptr<program_slot>> slots;
    std::mt19937_64 rng(o.seed);
    auto start_program = [&](program_slot& slot) {
        ++slot.incarnation;
        program_slot* sp = &slot;
        slot.prog = machine->host().run_program(
            platform::io::token_kind::administrator,
            "stress-client-" + std::to_string(slot.index) + "." + std::to_string(slot.incarnation),
            [sp] { program(*sp).main(); });
    };
    for (unsigned i = 0; i < o.clients; ++i) {
        auto slot = std::make_unique<program_slot>();
        slot->index = i;
        slot->service = i % 2 == 0 ? unicast_service : broadcast_service;
        slot->remaining = o.messages;
        slot->rng.seed(o.seed * 7919 + i + 1);
        slots.push_back(std::move(slot));
    }
    for (auto& slot : slots)
        start_program(*slot);

    const std::uint64_t kill_every =
        o.kill_every != 0 ? o.kill_every : (o.port_loss_every != 0 ? 5 * o.port_loss_every : 5000);
    std::uint64_t next_loss = o.port_loss_every;
    std::uint64_t next_kill = kill_every;
    std::uint64_t next_injection = 0;
    std::uint32_t injected = 0;
    auto last_progress = std::chrono::steady_clock::now();
    const std::uint64_t total = static_cast<std::uint64_t>(o.messages) * (o.clients + kernel_count);

    auto all_done = [&] {
        for (auto& s : slots) {
            if (!s->done_sending.load() && !s->finished.load())
                return false;
        }
        for (auto& k : kcs) {
            if (!k->done_sending.load())
                return false;
        }
        return true;
    };

    while (!all_done()) {
        // The next step: after a few more frames, or 10 ms of virtual time when the channel
        // is quiet. Busy programs keep virtual time from moving, so frames must wake the
        // controller too; the count is read in the predicate, which every wake re-evaluates.
        {
            auto& sch = scheduler::get();
            const std::uint64_t target = channel.frames.load() + 16;
            const platform::ticks later = sch.now() + 10 * platform::ticks_per_ms;
            std::unique_lock lk(sch.lock());
            sch.block(
                lk, [&] { return all_done() || channel.frames.load() >= target; }, later,
                "stress: the controller waits for traffic");
        }
        const std::uint64_t frames = channel.frames.load();
        const std::uint64_t requests = channel.requests.load();
        // An indication to a held id, and a broadcast, about one per four requests.
        if (requests >= next_injection) {
            next_injection = requests + 4;
            if (auto held = ids.pick(rng)) {
                ++counts.indications;
                mdm->indicate(held->first, held->second, indication_message_id,
                              {{tag_tlv, [&] {
                                    modem::bytes b;
                                    tag t = make_tag(tag_kind::indication, 0, ++injected);
                                    for (int i = 0; i < 8; ++i)
                                        b.push_back(static_cast<std::uint8_t>(t >> (8 * i)));
                                    return b;
                                }()}});
            }
            if (rng() % 2 == 0) {
                ++counts.broadcasts;
                modem::bytes b;
                tag t = make_tag(tag_kind::broadcast, 0, ++injected);
                for (int i = 0; i < 8; ++i)
                    b.push_back(static_cast<std::uint8_t>(t >> (8 * i)));
                mdm->indicate(broadcast_service, modem::broadcast_client, indication_message_id,
                              {{tag_tlv, b}});
            }
        }
        if (o.port_loss_every != 0 && frames >= next_loss) {
            // Kernel clients are told (they have no port-state notification), then the modem
            // closes its end and opens it again a little later.
            {
                std::lock_guard g(scheduler::get().lock());
                for (auto& k : kcs)
                    k->pause_asked = true;
                scheduler::get().wake();
            }
            wait_until(
                [&] {
                    return std::all_of(kcs.begin(), kcs.end(), [](auto& k) {
                        return k->paused.load() || k->finished.load();
                    });
                },
                60000);
            ids.clear();
            const std::uint64_t tables = channel.tables.load();
            {
                std::lock_guard g(channel.lock);
                channel.downs.push_back({next_stamp(), never});
            }
            mdm->close_channel();
            ++counts.port_losses;
            settle_ms(20 + static_cast<std::int64_t>(rng() % 50));
            mdm->open_channel();
            wait_until([&] { return channel.tables.load() > tables; }, 20000);
            settle_ms(50);
            {
                std::lock_guard g(channel.lock);
                channel.downs.back().ready = next_stamp();
            }
            {
                // Under the scheduler's lock, so no paused client misses the wake-up.
                std::lock_guard g(scheduler::get().lock());
                for (auto& k : kcs)
                    k->pause_asked = false;
                scheduler::get().wake();
            }
            next_loss = channel.frames.load() + o.port_loss_every;
        }
        if (frames >= next_kill) {
            next_kill = frames + kill_every;
            program_slot& victim = *slots[rng() % slots.size()];
            if (!victim.done_sending.load() && !victim.finished.load()) {
                const stamp at = next_stamp();
                if (victim.session != nullptr)
                    ids.drop_session(victim.session->id);
                victim.prog->terminate(1);
                victim.prog->wait();
                victim.prog->process().wait_threads();
                ++counts.kills;
                if (session_record* s = victim.session) {
                    s->killed = true;
                    s->close_begin = std::min(s->close_begin, at);
                    s->closed = next_stamp();
                    victim.session = nullptr;
                }
                for (write_record& w : victim.writes) {
                    if (w.result == write_record::outcome::unfinished)
                        w.end = at;
                }
                start_program(victim);
            }
        }
        if (o.progress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_progress >= std::chrono::seconds(1)) {
                last_progress = now;
                std::fprintf(stderr,
                             "vraxstress: %s  virtual %lld s  written %llu/%llu  frames %llu  "
                             "port losses %llu  kills %llu\n",
                             hms(std::chrono::duration<double>(now - t0).count()).c_str(),
                             static_cast<long long>(platform::now_ms() / 1000),
                             static_cast<unsigned long long>(counts.written.load()),
                             static_cast<unsigned long long>(total),
                             static_cast<unsigned long long>(frames),
                             static_cast<unsigned long long>(counts.port_losses.load()),
                             static_cast<unsigned long long>(counts.kills.load()));
            }
        }
    }

    // Quiet, then the clients drain and end.
    settle_ms(200);
    draining = true;
    for (auto& s : slots) {
        s->prog->wait();
        s->prog->process().wait_threads();
    }
    for (auto& k : kcs)
        k->thread->join();
    stopping = true;

    // The history, for the oracle.
    history h;
    {
        std::lock_guard g(book.lock);
        h.sessions.assign(book.sessions.begin(), book.sessions.end());
    }
    for (auto& s : slots)
        h.writes.insert(h.writes.end(), s->writes.begin(), s->writes.end());
    for (auto& k : kcs)
        h.writes.insert(h.writes.end(), k->writes.begin(), k->writes.end());
    {
        std::lock_guard g(channel.lock);
        h.received = channel.received;
        h.sent = channel.sent;
        h.downs = channel.downs;
        out.counts["frames the modem could not attribute"] = channel.untagged_received;
    }
    auto by_stamp = [](const modem_frame& a, const modem_frame& b) { return a.at < b.at; };
    std::sort(h.received.begin(), h.received.end(), by_stamp);
    std::sort(h.sent.begin(), h.sent.end(), by_stamp);
    out.v = check(h);

    // Teardown and the final check.
    for (auto& k : kcs)
        kernel_clients[k->index] = nullptr;
    if (kc_driver != nullptr && kc_driver->loaded()) {
        kclient::disconnect();
        kc_driver->take_down();
    }
    if (!NT_SUCCESS(machine->remove_device()))
        machine->surprise_remove();
    mdm->stop();
    far_end::reset();
    if (smd::installed())
        smd::uninstall();
    if (machine->driver() != nullptr && machine->running())
        machine->unload_driver();
    out.final_check = machine->host().shutdown(true);
    out.virtual_ms = platform::now_ms();
    machine.reset();

    out.counts["sessions opened"] = counts.opens;
    out.counts["opens refused (port down)"] = counts.open_refused;
    out.counts["binds"] = counts.binds;
    out.counts["binds failed"] = counts.bind_failed;
    out.counts["client-id requests"] = counts.id_requests;
    out.counts["client ids granted"] = counts.ids_granted;
    out.counts["client ids refused (none left)"] = counts.ids_refused;
    out.counts["client-id controls cancelled at once"] = counts.id_cancels;
    out.counts["client-id controls failed or cancelled"] = counts.id_failed;
    out.counts["reads cancelled"] = counts.read_cancels;
    out.counts["reads too small"] = counts.small_reads;
    out.counts["handles closed (client ids released)"] = counts.closes;
    out.counts["port-lost notifications"] = counts.lost_notices;
    out.counts["port-ready notifications"] = counts.ready_notices;
    out.counts["programs killed"] = counts.kills;
    out.counts["port losses"] = counts.port_losses;
    out.counts["indications"] = counts.indications;
    out.counts["broadcasts"] = counts.broadcasts;
    out.counts["kernel registrations"] = counts.kernel_registrations;
    out.counts["write bursts (no reads between)"] = counts.bursts;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return out;
}

void print_summary(std::FILE* f, const options& o, const result& r) {
    auto row = [f](const std::string& what, std::uint64_t n) {
        std::fprintf(f, "  %-52s %12llu\n", what.c_str(), static_cast<unsigned long long>(n));
    };
    std::fprintf(f,
                 "vraxstress: %u programs, %u kernel clients, %llu messages each, port loss every "
                 "%llu frames, seed %llu\n",
                 o.clients, std::min(o.kernel_clients, max_kernel_clients),
                 static_cast<unsigned long long>(o.messages),
                 static_cast<unsigned long long>(o.port_loss_every),
                 static_cast<unsigned long long>(o.seed));
    if (!r.failure.empty()) {
        std::fprintf(f, "  run failed: %s\n", r.failure.c_str());
        return;
    }
    std::fprintf(f, "  %-52s %12s\n", "real time", hms(r.seconds).c_str());
    std::fprintf(f, "  %-52s %12s\n", "virtual time",
                 hms(static_cast<double>(r.virtual_ms) / 1000).c_str());
    std::fprintf(f, "what the run did\n");
    for (const auto& [what, n] : r.counts)
        row(what, n);
    std::fprintf(f, "messages\n");
    row("requests written (reported sent)", r.v.requests_written);
    row("tagged frames the modem sent", r.v.messages_sent);
    row("deliveries (message, session)", r.v.delivered);
    row("writes held back until cancelled", r.v.writes_held);
    std::fprintf(f, "drops on purpose, by cause\n");
    for (const auto& [what, n] : r.v.drops)
        row(what, n);
    std::fprintf(f, "faults\n");
    row("losses", r.v.losses);
    row("duplicates", r.v.duplicates);
    row("misdelivered", r.v.misdelivered);
    row("operations never completed", r.v.never_completed);
    row("flow-control faults", r.v.flow_control);
    row("final check findings (leaks)", r.final_check.size());
    for (const auto& s : r.v.findings)
        std::fprintf(f, "  finding: %s\n", s.c_str());
    for (const auto& s : r.final_check)
        std::fprintf(f, "  final check: %s\n", s.c_str());
    std::fprintf(f, "verdict: %s\n", r.ok() ? "clean" : "FAILED");
}

}  // namespace stress
