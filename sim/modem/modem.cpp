// The emulator on the channel: the frame hook that hands written frames to the engine, the
// timer thread for everything that happens later, the log, and the waits a test makes.
//
// State lives in a shared block that the hook and the timer thread hold too, so a hook still
// running when the emulator goes never touches freed memory. Everything in it is guarded by
// the scheduler lock; the lock is dropped before any call into the far end.
#include "modem/modem.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <utility>

#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "smd/far_end.h"

namespace modem {

using platform::scheduler;
namespace far_end = smd::far_end;

namespace {

struct timer {
    action act;
    std::int64_t period_ms = 0;
    unsigned remaining = 1;  // firings left, this one included
};

// scheduler::now() takes the scheduler lock itself: every caller here reads the time before
// taking the lock. Virtual time cannot move while this thread runs, so it stays current.
platform::ticks now() {
    return scheduler::get().now();
}

const char* status_text(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return "STATUS_SUCCESS";
        case STATUS_INVALID_DEVICE_STATE:
            return "STATUS_INVALID_DEVICE_STATE (channel not open)";
        case STATUS_NO_SUCH_DEVICE:
            return "STATUS_NO_SUCH_DEVICE";
        case STATUS_INVALID_PARAMETER:
            return "STATUS_INVALID_PARAMETER";
        default:
            return nullptr;
    }
}

}  // namespace

struct emulator::state {
    explicit state(config c) : eng(std::move(c)) {}

    engine eng;
    unsigned port = 0;
    bool running = false;
    std::vector<log_entry> log;
    std::size_t sent = 0;
    // Timers by (due time, order of arming), so equal times fire in the order armed.
    std::map<std::pair<platform::ticks, std::uint64_t>, timer> timers;
    std::uint64_t next_timer = 0;
    std::uint64_t generation = 0;  // bumped when the timer set changes
    bool stop_timers = false;
    std::shared_ptr<scheduler::joinable> timer_thread;
    watcher watch;

    // Lock held; `at` is the time now.
    void arm(platform::ticks at, std::int64_t delay_ms, timer t) {
        const platform::ticks due = at + delay_ms * platform::ticks_per_ms;
        timers.emplace(std::make_pair(due, next_timer++), std::move(t));
        ++generation;
        scheduler::get().wake();
    }

    // Lock held; `at` is the time now. A log entry for a frame or an event.
    void record(platform::ticks at, log_entry::direction dir, bytes frame, std::string note,
                NTSTATUS status, std::uint64_t order = 0) {
        log_entry e;
        e.order = order != 0 ? order : next_order();
        e.dir = dir;
        e.time_ms = at / platform::ticks_per_ms;
        e.port = port;
        if (!frame.empty() && eng.settings().keep_log)
            e.decoded = framedecode::decode_frame(frame);
        e.frame = std::move(frame);
        e.note = std::move(note);
        e.status = status;
        if (dir == log_entry::direction::to_driver)
            ++sent;
        if (eng.settings().keep_log)
            log.push_back(std::move(e));
        scheduler::get().wake();
    }

    // Lock not held: does one action on the channel now, logs it and returns the far end's
    // answer.
    NTSTATUS run(const action& a) {
        NTSTATUS status = STATUS_SUCCESS;
        unsigned p;
        watcher w;
        {
            std::lock_guard g(scheduler::get().lock());
            p = port;
            w = watch;
        }
        std::uint64_t order = 0;
        switch (a.what) {
            case action::kind::send:
                // Noted as the chunk joins the far end's queue, so that frames sent from
                // several threads are watched and ordered as the driver reads them.
                status = far_end::queue_read(p, a.frame, [&] {
                    if (w)
                        w(watch_event{watch_event::kind::sending, &a.frame, STATUS_SUCCESS});
                    order = next_order();
                });
                break;
            case action::kind::close:
                order = next_order();
                status = far_end::close_channel(p);
                break;
            case action::kind::open:
                order = next_order();
                status = far_end::open_channel(p);
                break;
        }
        const platform::ticks at = now();
        {
            std::lock_guard g(scheduler::get().lock());
            if (a.what == action::kind::send) {
                record(at, log_entry::direction::to_driver, a.frame, a.note, status, order);
            } else {
                record(at, log_entry::direction::event, {},
                       std::string(a.what == action::kind::close ? "modem closed the channel"
                                                                 : "modem opened the channel") +
                           (a.note.empty() ? "" : " (" + a.note + ")"),
                       status, order);
            }
        }
        if (w) {
            const watch_event::kind k = a.what == action::kind::send    ? watch_event::kind::sent
                                        : a.what == action::kind::close ? watch_event::kind::closed
                                                                        : watch_event::kind::opened;
            w(watch_event{k, a.what == action::kind::send ? &a.frame : nullptr, status});
        }
        return status;
    }

    // A frame from the driver: the engine decides under the lock; immediate actions run on
    // this thread, later ones go to the timer thread.
    void handle(const bytes& frame, const char* via) {
        std::vector<action> immediate;
        const platform::ticks at = now();
        watcher w;
        {
            std::lock_guard g(scheduler::get().lock());
            w = watch;
            outcome out = eng.on_frame(frame, at / platform::ticks_per_ms);
            record(at, log_entry::direction::from_driver, frame,
                   via != nullptr ? out.note + " (" + via + ")" : out.note, STATUS_SUCCESS);
            for (action& a : out.actions) {
                if (a.delay_ms > 0)
                    arm(at, a.delay_ms, timer{std::move(a)});
                else
                    immediate.push_back(std::move(a));
            }
        }
        if (w)
            w(watch_event{watch_event::kind::received, &frame, STATUS_SUCCESS});
        for (const action& a : immediate)
            run(a);
    }

    // Sleeps until the earliest timer is due (the block's deadline) or the set of timers
    // changes, then fires what is due, outside the lock.
    void timer_loop() {
        auto& s = scheduler::get();
        for (;;) {
            {
                std::unique_lock lk(s.lock());
                const std::uint64_t seen = generation;
                const platform::ticks deadline =
                    timers.empty() ? platform::no_deadline : timers.begin()->first.first;
                s.block(
                    lk, [&] { return stop_timers || generation != seen; }, deadline,
                    "modem: waiting for its next timer");
                if (stop_timers)
                    return;
            }
            const platform::ticks at = now();
            std::vector<action> due;
            {
                std::lock_guard g(s.lock());
                while (!timers.empty() && timers.begin()->first.first <= at) {
                    auto node = timers.extract(timers.begin());
                    timer& t = node.mapped();
                    due.push_back(t.act);
                    if (--t.remaining > 0) {
                        const platform::ticks next =
                            node.key().first + t.period_ms * platform::ticks_per_ms;
                        timers.emplace(std::make_pair(next, next_timer++), std::move(t));
                    }
                }
            }
            for (const action& a : due)
                run(a);
        }
    }
};

std::uint64_t next_order() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string format(const log_entry& e) {
    char head[96];
    const char* dir = e.dir == log_entry::direction::from_driver ? "driver -> modem"
                      : e.dir == log_entry::direction::to_driver ? "modem -> driver"
                                                                 : "modem          ";
    std::snprintf(head, sizeof head, "%6lld.%03lld s  port %u  %s  ",
                  static_cast<long long>(e.time_ms / 1000),
                  static_cast<long long>(e.time_ms % 1000), e.port, dir);
    std::string line = head;
    line += e.decoded;
    if (!e.note.empty())
        line += (e.decoded.empty() ? "" : "  ; ") + e.note;
    if (e.status != STATUS_SUCCESS) {
        const char* name = status_text(e.status);
        char code[32];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e.status));
        line += std::string("  [not taken: ") + (name != nullptr ? name : code) + "]";
    }
    return line;
}

emulator::emulator(config c) : st_(std::make_shared<state>(std::move(c))) {}

emulator::~emulator() {
    stop();
}

void emulator::start(unsigned port, bool open_far_end) {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (st_->running)
            return;
        st_->running = true;
        st_->port = port;
        st_->stop_timers = false;
    }
    auto thread = s.start_thread("modem timers", [st = st_] { st->timer_loop(); });
    {
        std::lock_guard g(s.lock());
        st_->timer_thread = std::move(thread);
    }
    far_end::set_frame_hook(port, [st = st_](unsigned, std::vector<std::uint8_t> frame) {
        st->handle(frame, nullptr);
    });
    // Frames written before the hook was there, oldest first.
    while (far_end::frames_waiting(port) > 0) {
        auto frame = far_end::next_frame(port, s.now());
        if (!frame)
            break;
        st_->handle(*frame, nullptr);
    }
    if (open_far_end)
        open_channel();
}

void emulator::stop() {
    auto& s = scheduler::get();
    std::shared_ptr<scheduler::joinable> thread;
    unsigned port;
    {
        std::lock_guard g(s.lock());
        if (!st_->running)
            return;
        st_->running = false;
        port = st_->port;
        st_->stop_timers = true;
        st_->timers.clear();
        thread = std::move(st_->timer_thread);
        s.wake();
    }
    far_end::set_frame_hook(port, {});
    if (thread)
        thread->join();
}

bool emulator::running() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->running;
}

unsigned emulator::port() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->port;
}

void emulator::feed(const bytes& frame) {
    st_->handle(frame, "fed by the test");
}

NTSTATUS emulator::send(const message& m, const damage& d, std::string note) {
    return inject(encode(m, d), std::move(note));
}

NTSTATUS emulator::inject(const bytes& raw, std::string note) {
    return st_->run(action{action::kind::send, 0, raw, std::move(note)});
}

void emulator::send_in(std::int64_t delay_ms, const message& m, const damage& d) {
    const platform::ticks at = now();
    std::lock_guard g(scheduler::get().lock());
    st_->arm(at, delay_ms, timer{action{action::kind::send, 0, encode(m, d), "sent on a timer"}});
}

NTSTATUS emulator::indicate(std::uint8_t service_type, std::uint8_t client_id,
                            std::uint16_t message_id, std::vector<tlv> tlvs) {
    message m;
    {
        std::lock_guard g(scheduler::get().lock());
        m = st_->eng.indication(service_type, client_id, message_id, std::move(tlvs));
    }
    return send(m, {}, client_id == broadcast_client ? "broadcast" : "indication");
}

void emulator::indicate_every(std::int64_t first_ms, std::int64_t period_ms, unsigned count,
                              std::uint8_t service_type, std::uint8_t client_id,
                              std::uint16_t message_id, std::vector<tlv> tlvs) {
    if (count == 0)
        return;
    const platform::ticks at = now();
    std::lock_guard g(scheduler::get().lock());
    message m = st_->eng.indication(service_type, client_id, message_id, std::move(tlvs));
    action a{action::kind::send, 0, encode(m),
             client_id == broadcast_client ? "broadcast on a timer" : "indication on a timer"};
    st_->arm(at, first_ms, timer{std::move(a), period_ms, count});
}

NTSTATUS emulator::close_channel() {
    return st_->run(action{action::kind::close, 0, {}, "by the test"});
}

NTSTATUS emulator::open_channel() {
    return st_->run(action{action::kind::open, 0, {}, ""});
}

void emulator::close_channel_in(std::int64_t delay_ms,
                                std::optional<std::int64_t> reopen_after_ms) {
    const platform::ticks at = now();
    std::lock_guard g(scheduler::get().lock());
    st_->arm(at, delay_ms, timer{action{action::kind::close, 0, {}, "on a timer"}});
    if (reopen_after_ms)
        st_->arm(at, delay_ms + *reopen_after_ms,
                 timer{action{action::kind::open, 0, {}, "re-open"}});
}

void emulator::misbehave(misbehaviour m) {
    std::lock_guard g(scheduler::get().lock());
    st_->eng.add_misbehaviour(std::move(m));
}

void emulator::watch(watcher w) {
    std::lock_guard g(scheduler::get().lock());
    st_->watch = std::move(w);
}

void emulator::behave() {
    std::lock_guard g(scheduler::get().lock());
    st_->eng.clear_misbehaviour();
}

std::optional<request_record> emulator::wait_for_request(std::uint8_t service_type,
                                                         std::optional<std::uint16_t> message_id,
                                                         std::int64_t timeout_ms) {
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + timeout_ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    // The predicate only looks: the scheduler may evaluate it from other threads.
    if (!s.block(
            lk, [&] { return st_->eng.has_untaken(service_type, message_id); }, deadline,
            "modem: waiting for a request from the driver"))
        return std::nullopt;
    return st_->eng.take(service_type, message_id);
}

bool emulator::wait_for_sent(std::size_t count, std::int64_t timeout_ms) {
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + timeout_ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(
        lk, [&] { return st_->sent >= count; }, deadline,
        "modem: waiting for frames to go to the driver");
}

std::vector<std::uint8_t> emulator::granted(std::uint8_t service_type) const {
    std::lock_guard g(scheduler::get().lock());
    return st_->eng.granted(service_type);
}

unsigned emulator::notices() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->eng.notices();
}

std::vector<request_record> emulator::requests() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->eng.requests();
}

std::vector<log_entry> emulator::log() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->log;
}

std::size_t emulator::sent_count() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->sent;
}

std::size_t emulator::timers_pending() const {
    std::lock_guard g(scheduler::get().lock());
    return st_->timers.size();
}

std::string emulator::transcript() const {
    std::string out;
    for (const log_entry& e : log())
        out += format(e) + "\n";
    return out;
}

}  // namespace modem
