// The oracle's rules (oracle.h) applied to a history.
#include "oracle.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace stress {
namespace {

struct checker {
    const history& h;
    verdict v;
    std::size_t max_findings;
    std::unordered_map<std::uint32_t, const session_record*> by_id;
    // Ids a session wrote with that it never saw granted: a client-id control it cancelled,
    // or that failed, can still have been granted, and the driver then sends the session's
    // requests with that id. Held for sure from the first such request the modem received,
    // unless the port was lost between the session's start and that request.
    std::unordered_map<std::uint32_t, std::vector<session_record::hold>> inferred;

    void infer_holds() {
        for (const modem_frame& f : h.received) {
            if (kind_of(f.t) != tag_kind::request)
                continue;
            const session_record* s = session(session_of(f.t));
            if (s == nullptr || s->service != f.service)
                continue;
            bool known = false;
            for (const session_record::hold& hd : s->holds)
                known = known || (hd.id == f.client_id && hd.begin <= f.at);
            for (const session_record::hold& hd : inferred[s->id])
                known = known || hd.id == f.client_id;
            if (known)
                continue;
            // A port loss since the session opened voids whatever it was granted before,
            // and the driver goes on sending with the last id it held: the request then
            // proves no hold, and the id may be another session's by now.
            const bool voided = close_within(s->opened, f.at) != nullptr;
            inferred[s->id].push_back({f.client_id, s->opened, voided ? never : f.at});
        }
    }

    // A session's holds, seen and inferred.
    template <class F>
    void each_hold(const session_record& s, F f) const {
        for (const session_record::hold& hd : s.holds)
            f(hd);
        auto it = inferred.find(s.id);
        if (it != inferred.end()) {
            for (const session_record::hold& hd : it->second)
                f(hd);
        }
    }

    void finding(const std::string& what) {
        if (v.findings.size() < max_findings)
            v.findings.push_back(what);
    }

    static std::string describe(const session_record& s) {
        std::string d = std::string(s.kernel ? "kernel" : "program") + " session of service " +
                        std::to_string(s.service) + ", bound " +
                        (s.bind_done == never ? "never" : std::to_string(s.bind_done)) + ", ids";
        for (const session_record::hold& hd : s.holds)
            d += " " + std::to_string(hd.id) + " [" + std::to_string(hd.begin) + ", " +
                 std::to_string(hd.done) + "]";
        d += ", closing " + (s.close_begin == never ? "never" : std::to_string(s.close_begin));
        d += ", closed " + (s.closed == never ? "never" : std::to_string(s.closed));
        return d;
    }

    static std::string hex(tag t) {
        char b[24];
        std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(t));
        return b;
    }

    // The first close of the channel in [from, to], if any.
    const port_down* close_within(stamp from, stamp to) const {
        for (const port_down& d : h.downs) {
            if (d.close >= from && d.close <= to)
                return &d;
        }
        return nullptr;
    }
    bool down_overlaps(stamp from, stamp to) const {
        for (const port_down& d : h.downs) {
            if (d.close <= to && from <= d.ready)
                return true;
        }
        return false;
    }
    // The stamp of the first frame the modem received after `at` (never: none).
    stamp next_received_after(stamp at) const {
        auto it = std::upper_bound(h.received.begin(), h.received.end(), at,
                                   [](stamp s, const modem_frame& f) { return s < f.at; });
        return it == h.received.end() ? never : it->at;
    }

    void writes() {
        std::unordered_map<tag, const modem_frame*> at_modem;
        for (const modem_frame& f : h.received)
            at_modem.emplace(f.t, &f);
        std::unordered_map<tag, bool> answered;
        for (const modem_frame& f : h.sent) {
            if (kind_of(f.t) == tag_kind::request)
                answered[f.t] = true;
        }
        for (const write_record& w : h.writes) {
            switch (w.result) {
                case write_record::outcome::sent: {
                    ++v.requests_written;
                    auto it = at_modem.find(w.t);
                    if (it == at_modem.end()) {
                        // On its way when the channel closed, or handed to the transmit
                        // path after the close and before the driver noticed it.
                        if (down_overlaps(w.begin, next_received_after(w.end))) {
                            ++v.drops[drop_write_in_flight];
                        } else {
                            ++v.losses;
                            finding("request " + hex(w.t) +
                                    " was reported written but never reached the modem (stamps " +
                                    std::to_string(w.begin) + ".." + std::to_string(w.end) + ")");
                        }
                        break;
                    }
                    if (answered.count(w.t) == 0) {
                        // The modem answers every request on an id it holds; it forgets the
                        // ids at a port loss.
                        // The id the request went out with is the one the modem saw.
                        const session_record* s = session(w.session);
                        const modem_frame& f = *it->second;
                        bool stale = false;
                        if (s != nullptr) {
                            each_hold(*s, [&](const session_record::hold& hd) {
                                if (hd.id == f.client_id && close_within(hd.begin, f.at) != nullptr)
                                    stale = true;
                            });
                        }
                        if (stale) {
                            ++v.drops[drop_stale_id];
                        } else {
                            ++v.losses;
                            finding("request " + hex(w.t) +
                                    " reached the modem and was never answered");
                        }
                    }
                    break;
                }
                case write_record::outcome::refused:
                    if (killed_during(w)) {
                        // Ending a process cancels its requests.
                        ++v.drops[drop_write_killed];
                    } else if (down_overlaps(w.begin, w.end)) {
                        ++v.drops[drop_write_refused];
                    } else if (id_voided_for(w)) {
                        ++v.drops[drop_write_voided_id];
                    } else {
                        ++v.losses;
                        char status[16];
                        std::snprintf(status, sizeof status, "0x%08X", w.status);
                        finding("request " + hex(w.t) + " was refused while the port was up (" +
                                status + ", " + std::to_string(w.bytes) + " bytes, stamps " +
                                std::to_string(w.begin) + ".." + std::to_string(w.end) + ")");
                    }
                    break;
                case write_record::outcome::cancelled:
                    ++v.drops[stopped_queue_wait(w) ? drop_write_queue_stopped
                                                    : drop_write_cancelled];
                    break;
                case write_record::outcome::unfinished: {
                    const session_record* s = session(w.session);
                    if (s != nullptr && s->killed) {
                        ++v.drops[drop_write_killed];
                    } else {
                        ++v.never_completed;
                        finding("write of " + hex(w.t) + " never completed");
                    }
                    break;
                }
            }
        }
    }

    // A write whose wait overlapped the port being down: the driver stops its request queue
    // from the channel's close until the port is ready again, and a write made meanwhile
    // waits there, unseen by flow control, until the queue starts or its program cancels it.
    bool stopped_queue_wait(const write_record& w) const { return down_overlaps(w.begin, w.end); }

    // Whether a port loss ended the id a program session was last surely granted before the
    // write, with no grant answered since: the driver then sends none of its writes until it
    // is granted an id again (the modem may have handed the old one to another client).
    bool id_voided_for(const write_record& w) const {
        const session_record* s = session(w.session);
        if (s == nullptr || s->kernel)
            return false;
        const session_record::hold* last = nullptr;
        for (const session_record::hold& hd : s->holds) {
            if (hd.done <= w.begin && (last == nullptr || hd.done > last->done))
                last = &hd;
        }
        return last != nullptr && close_within(last->done, w.end) != nullptr;
    }

    bool killed_during(const write_record& w) const {
        const session_record* s = session(w.session);
        return s != nullptr && s->killed && w.end >= s->close_begin;
    }

    const session_record* session(std::uint32_t id) const {
        auto it = by_id.find(id);
        return it == by_id.end() ? nullptr : it->second;
    }

    // When a session's hold of an id surely ends: closing, or the next port loss after it.
    stamp hold_end(const session_record& s, const session_record::hold& hd) const {
        stamp end = s.close_begin;
        for (const port_down& d : h.downs) {
            if (d.close >= hd.done) {
                end = std::min(end, d.close);
                break;
            }
        }
        return end;
    }

    enum class target { no, maybe, surely };

    target unicast_target(const session_record& s, const modem_frame& m) const {
        if (s.service != m.service)
            return target::no;
        target best = target::no;
        each_hold(s, [&](const session_record::hold& hd) {
            if (hd.id != m.client_id)
                return;
            if (hd.done <= m.at && m.at < hold_end(s, hd))
                best = target::surely;
            else if (best == target::no && hd.begin <= m.at && m.at < s.closed)
                best = target::maybe;
        });
        return best;
    }

    target broadcast_target(const session_record& s, const modem_frame& m) const {
        if (s.kernel || s.service != m.service || s.bind_begin == never)
            return target::no;
        if (s.bind_done <= m.at && m.at < s.close_begin)
            return target::surely;
        if (s.bind_begin <= m.at && m.at < s.closed)
            return target::maybe;
        return target::no;
    }

    // A frame the modem sent before the session could be its target, read by the session:
    // the frame waits at the far end until the driver reads and routes it, and it goes to the
    // sessions bound (or holding its id) then. That moment comes before any session read it.
    bool late_target(const session_record& s, const modem_frame& m, stamp routed_by) const {
        if (s.service != m.service)
            return false;
        if (kind_of(m.t) == tag_kind::broadcast)
            return !s.kernel && s.bind_begin != never && m.at < s.bind_begin &&
                   s.bind_begin <= routed_by;
        bool late = false;
        each_hold(s, [&](const session_record::hold& hd) {
            late = late || (hd.id == m.client_id && m.at < hd.begin && hd.begin <= routed_by);
        });
        return late;
    }

    // The first read of each tag, by any session.
    std::unordered_map<tag, stamp> first_read;

    void deliveries() {
        for (const session_record& s : h.sessions) {
            for (const session_record::read& r : s.reads) {
                if (r.what != session_record::read::result::message)
                    continue;
                auto [it, fresh] = first_read.emplace(r.t, r.at);
                if (!fresh)
                    it->second = std::min(it->second, r.at);
            }
        }
        std::unordered_map<tag, std::size_t> sent_index;
        // Frames the far end took, by what they address, in stamp order (indices into sent).
        std::map<std::uint8_t, std::vector<std::size_t>> broadcasts;
        std::map<std::pair<std::uint8_t, std::uint8_t>, std::vector<std::size_t>> unicasts;
        for (std::size_t k = 0; k < h.sent.size(); ++k) {
            const modem_frame& f = h.sent[k];
            sent_index.emplace(f.t, k);
            ++v.messages_sent;
            if (!f.taken) {
                ++v.drops[drop_not_taken];
                continue;
            }
            if (kind_of(f.t) == tag_kind::broadcast)
                broadcasts[f.service].push_back(k);
            else
                unicasts[{f.service, f.client_id}].push_back(k);
        }
        std::vector<char> addressed(h.sent.size(), 0);
        for (const session_record& s : h.sessions)
            session_deliveries(s, sent_index, broadcasts, unicasts, addressed);
        for (std::size_t k = 0; k < h.sent.size(); ++k) {
            if (h.sent[k].taken && addressed[k] == 0 && kind_of(h.sent[k].t) != tag_kind::broadcast)
                ++v.drops[drop_no_holder];
        }
    }

    // The frames in `list` (indices into sent, in stamp order) with a stamp in [from, to).
    template <class F>
    void each_in(const std::vector<std::size_t>& list, stamp from, stamp to, F f) const {
        auto it = std::lower_bound(list.begin(), list.end(), from,
                                   [&](std::size_t k, stamp s) { return h.sent[k].at < s; });
        for (; it != list.end() && h.sent[*it].at < to; ++it)
            f(*it);
    }

    void session_deliveries(
        const session_record& s, const std::unordered_map<tag, std::size_t>& sent_index,
        const std::map<std::uint8_t, std::vector<std::size_t>>& broadcasts,
        const std::map<std::pair<std::uint8_t, std::uint8_t>, std::vector<std::size_t>>& unicasts,
        std::vector<char>& addressed) {
        // What the session read: copies per tag, and for each message read the modem's stamp
        // of it, as a running maximum, to find the first read of a message sent after another.
        std::unordered_map<tag, std::size_t> copies;
        std::vector<std::size_t> message_reads;  // indices into s.reads
        std::vector<stamp> sent_max;
        for (std::size_t r = 0; r < s.reads.size(); ++r) {
            const auto& rd = s.reads[r];
            if (rd.what != session_record::read::result::message)
                continue;
            ++copies[rd.t];
            auto f = sent_index.find(rd.t);
            const stamp at = f == sent_index.end() ? 0 : h.sent[f->second].at;
            message_reads.push_back(r);
            sent_max.push_back(sent_max.empty() ? at : std::max(sent_max.back(), at));
        }
        for (const auto& [t, n] : copies) {
            if (n > 1) {
                v.duplicates += n - 1;
                finding("session " + std::to_string(s.id) + " read " + hex(t) + " " +
                        std::to_string(n) + " times");
            }
            auto f = sent_index.find(t);
            if (f == sent_index.end()) {
                ++v.misdelivered;
                finding("session " + std::to_string(s.id) + " read " + hex(t) +
                        ", which the modem never sent");
            } else if (target_of(s, h.sent[f->second]) != target::no) {
                // Counted with the session's candidates below.
            } else if (late_target(s, h.sent[f->second], first_read.at(t))) {
                ++v.delivered;
            } else {
                ++v.misdelivered;
                const modem_frame& m = h.sent[f->second];
                finding("session " + std::to_string(s.id) + " read " + hex(t) +
                        ", which was not addressed to it (sent at " + std::to_string(m.at) +
                        " to service " + std::to_string(m.service) + " id " +
                        std::to_string(m.client_id) + "; " + describe(s) + ")");
            }
        }

        // The frames that may address the session.
        std::map<std::size_t, target> candidates;
        auto consider = [&](std::size_t k) {
            const target tg = target_of(s, h.sent[k]);
            if (tg != target::no) {
                target& c = candidates[k];
                c = std::max(c, tg);
            }
        };
        if (!s.kernel && s.bind_begin != never) {
            auto b = broadcasts.find(s.service);
            if (b != broadcasts.end())
                each_in(b->second, s.bind_begin, s.closed, consider);
        }
        each_hold(s, [&](const session_record::hold& hd) {
            auto u = unicasts.find({s.service, hd.id});
            if (u != unicasts.end())
                each_in(u->second, hd.begin, s.closed, consider);
        });

        std::map<std::size_t, std::uint64_t> gaps;  // next message read -> missing before it
        for (const auto& [k, tg] : candidates) {
            const modem_frame& m = h.sent[k];
            addressed[k] = 1;
            if (copies.count(m.t) != 0) {
                ++v.delivered;
                continue;
            }
            if (tg == target::maybe) {
                ++v.drops[kind_of(m.t) == tag_kind::broadcast ? drop_not_bound
                                                              : drop_in_transition];
                continue;
            }
            const std::size_t pos = static_cast<std::size_t>(
                std::upper_bound(sent_max.begin(), sent_max.end(), m.at) - sent_max.begin());
            const std::size_t next =
                pos < message_reads.size() ? message_reads[pos] : s.reads.size();
            const stamp until = next < s.reads.size() ? s.reads[next].at : s.closed;
            if (close_within(m.at, until) != nullptr) {
                ++v.drops[drop_frame_in_flight];
            } else if (next == s.reads.size() && !s.final_close && s.closed != never) {
                ++v.drops[drop_session_ended];
            } else {
                ++gaps[next];
            }
        }
        for (const auto& [next, missing] : gaps) {
            // The gap runs from the last message read before `next` to `next`: the store is
            // first in, first out, so a too-small read before that message took an older one.
            std::size_t start = next;
            while (start > 0 && s.reads[start - 1].what != session_record::read::result::message)
                --start;
            std::uint64_t small = 0;
            for (std::size_t r = start; r < next; ++r) {
                if (s.reads[r].what == session_record::read::result::too_small)
                    ++small;
            }
            const std::uint64_t explained = std::min<std::uint64_t>(small, missing);
            v.drops[drop_too_small] += explained;
            if (missing > explained) {
                v.losses += missing - explained;
                finding(
                    "session " + std::to_string(s.id) + ": " + std::to_string(missing - explained) +
                    " message(s) addressed to it never arrived" +
                    (next < s.reads.size()
                         ? " (before its read at stamp " + std::to_string(s.reads[next].at) + ")"
                         : " (by its end)"));
            }
        }
    }

    target target_of(const session_record& s, const modem_frame& m) const {
        switch (kind_of(m.t)) {
            case tag_kind::broadcast:
                return broadcast_target(s, m);
            case tag_kind::request:
            case tag_kind::indication:
                return unicast_target(s, m);
        }
        return target::no;
    }

    // The outstanding-write count of each program session, bounded from outside, against
    // what its writes met.
    void flow_control() {
        constexpr std::uint64_t limit = 15;
        std::unordered_map<std::uint32_t, std::vector<const write_record*>> by_session;
        for (const write_record& w : h.writes)
            by_session[w.session].push_back(&w);
        for (const session_record& s : h.sessions) {
            auto it = by_session.find(s.id);
            if (s.kernel || it == by_session.end())
                continue;
            std::vector<const write_record*>& ws = it->second;
            std::sort(ws.begin(), ws.end(), [](const write_record* a, const write_record* b) {
                return a->begin < b->begin;
            });
            // upper: answers counted only when collected; lower: reads too small counted as
            // answers too.
            std::uint64_t upper = 0, lower = 0;
            std::size_t next_read = 0;
            bool port_lost = false;
            for (const port_down& d : h.downs)
                port_lost =
                    port_lost || (d.close < s.opened && (d.ready == never || d.ready > s.opened));
            for (const write_record* w : ws) {
                for (; next_read < s.reads.size() && s.reads[next_read].at < w->begin;
                     ++next_read) {
                    const session_record::read& r = s.reads[next_read];
                    const bool answer = r.what == session_record::read::result::message &&
                                        r.t != 0 && kind_of(r.t) == tag_kind::request;
                    const bool maybe =
                        answer || r.what == session_record::read::result::too_small ||
                        (r.what == session_record::read::result::message && r.t == 0);
                    if (answer && upper > 0)
                        --upper;
                    if (maybe && lower > 0)
                        --lower;
                }
                if (close_within(s.opened, w->begin) != nullptr)
                    port_lost = true;
                if (w->result == write_record::outcome::cancelled && stopped_queue_wait(*w)) {
                    // Held by the stopped queue, perhaps never seen by the write path.
                } else if (w->result == write_record::outcome::cancelled) {
                    // Held for the program's whole wait with the port up: only flow control
                    // keeps a write that long (the running queue hands writes on at once).
                    ++v.writes_held;
                    if (upper < limit) {
                        ++v.flow_control;
                        finding("write " + hex(w->t) + " held back with at most " +
                                std::to_string(upper) + " outstanding; " + describe(s));
                    }
                } else if (!w->held && !w->read_pending && !port_lost && lower >= limit &&
                           w->result == write_record::outcome::sent) {
                    ++v.flow_control;
                    finding("write " + hex(w->t) + " sent at once with at least " +
                            std::to_string(lower) + " outstanding; " + describe(s));
                }
                if (w->result == write_record::outcome::sent) {
                    ++upper;
                    ++lower;
                }
            }
        }
    }

    void operations() {
        for (const session_record& s : h.sessions) {
            if (s.killed)
                continue;
            if (s.collected < s.started) {
                v.never_completed += s.started - s.collected;
                finding("session " + std::to_string(s.id) + ": " +
                        std::to_string(s.started - s.collected) + " operation(s) never completed");
            }
        }
    }
};

}  // namespace

verdict check(const history& h, std::size_t max_findings) {
    checker c{h, {}, max_findings, {}, {}, {}};
    for (const session_record& s : h.sessions)
        c.by_id.emplace(s.id, &s);
    c.infer_holds();
    c.writes();
    c.deliveries();
    c.flow_control();
    c.operations();
    return std::move(c.v);
}

}  // namespace stress
