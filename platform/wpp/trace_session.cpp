// Trace sessions: logger ids, the one message sink every session shares, decoding of the
// records, and enabling providers that register while a session runs.
#include "wpp/trace_session.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel/tracing.h"
#include "wpp/message_format.h"
#include "wpp/session_registry.h"

namespace platform::wpp {

namespace tracing = platform::kernel::tracing;

struct trace_session::state {
    GUID guid{};
    UCHAR level = 0;
    ULONG flags = 0;
    USHORT logger_id = 0;
    mutable std::mutex lock;
    bool active = true;                 // guarded by lock
    bool enabled = false;               // guarded by lock
    std::uint64_t sequence = 0;         // guarded by lock
    std::vector<trace_record> records;  // guarded by lock
};

namespace {

std::mutex& registry_lock() {
    static std::mutex lock;
    return lock;
}

// Active sessions by logger id.
std::map<USHORT, std::shared_ptr<trace_session::state>>& sessions() {
    static std::map<USHORT, std::shared_ptr<trace_session::state>> s;
    return s;
}

USHORT next_logger_id() {
    static USHORT next = 0;
    for (;;) {
        next = static_cast<USHORT>(next == 0xFFFF ? 1 : next + 1);
        if (sessions().count(next) == 0)
            return next;
    }
}

std::shared_ptr<trace_session::state> session_for(USHORT logger_id) {
    std::lock_guard lk(registry_lock());
    auto it = sessions().find(logger_id);
    return it == sessions().end() ? nullptr : it->second;
}

void deliver(const tracing::message& message) {
    auto session = session_for(tracing::decode_handle(message.logger).logger_id);
    if (session == nullptr)
        return;
    auto format = find_format(message.message_guid, message.number);
    if (!format)
        return;

    std::vector<arg_bytes> args;
    args.reserve(message.items.size());
    for (const auto& item : message.items)
        args.push_back({item.data, item.length});

    trace_record record;
    record.level = format->level;
    record.flag = format->flag;
    record.file = format->file;
    record.line = format->line;
    record.function = format->function;
    record.format = format->format;
    record.text = render(*format, args);
    record.time = scheduler::get().now();

    std::lock_guard lk(session->lock);
    if (!session->active)
        return;
    record.sequence = ++session->sequence;
    session->records.push_back(std::move(record));
}

bool same_guid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

void enable(const std::shared_ptr<trace_session::state>& session) {
    const NTSTATUS status =
        tracing::enable(session->guid, session->level, session->flags, session->logger_id);
    std::lock_guard lk(session->lock);
    if (NT_SUCCESS(status))
        session->enabled = true;
}

}  // namespace

void detail::provider_registered(const GUID& control_guid) {
    std::vector<std::shared_ptr<trace_session::state>> waiting;
    {
        std::lock_guard lk(registry_lock());
        for (const auto& [id, session] : sessions()) {
            if (same_guid(session->guid, control_guid))
                waiting.push_back(session);
        }
    }
    for (const auto& session : waiting)
        enable(session);
}

GUID vrax_control_guid() {
    return GUID{0x40D8BF0F, 0x70D8, 0x4AF2, {0x8A, 0x20, 0xB8, 0x66, 0xAB, 0x10, 0xF3, 0x81}};
}

trace_session::trace_session(const GUID& control_guid, UCHAR level, ULONG flags)
    : state_(std::make_shared<state>()) {
    state_->guid = control_guid;
    state_->level = level;
    state_->flags = flags;
    {
        std::lock_guard lk(registry_lock());
        state_->logger_id = next_logger_id();
        sessions()[state_->logger_id] = state_;
    }
    // Installed on every start: a kernel reset between scenarios drops the sink.
    tracing::set_message_sink(deliver);
    enable(state_);
}

trace_session::~trace_session() {
    stop();
}

void trace_session::stop() {
    {
        std::lock_guard lk(state_->lock);
        if (!state_->active)
            return;
        state_->active = false;
    }
    {
        std::lock_guard lk(registry_lock());
        sessions().erase(state_->logger_id);
    }
    tracing::disable(state_->guid);
}

bool trace_session::active() const {
    std::lock_guard lk(state_->lock);
    return state_->active;
}

bool trace_session::provider_enabled() const {
    std::lock_guard lk(state_->lock);
    return state_->enabled;
}

std::vector<trace_record> trace_session::records() const {
    std::lock_guard lk(state_->lock);
    return state_->records;
}

std::size_t trace_session::size() const {
    std::lock_guard lk(state_->lock);
    return state_->records.size();
}

std::size_t trace_session::count_at(UCHAR level) const {
    std::lock_guard lk(state_->lock);
    return static_cast<std::size_t>(
        std::count_if(state_->records.begin(), state_->records.end(),
                      [level](const trace_record& r) { return r.level == level; }));
}

bool trace_session::contains(std::string_view text) const {
    std::lock_guard lk(state_->lock);
    return std::any_of(
        state_->records.begin(), state_->records.end(),
        [text](const trace_record& r) { return r.text.find(text) != std::string::npos; });
}

void trace_session::clear() {
    std::lock_guard lk(state_->lock);
    state_->records.clear();
}

USHORT trace_session::logger_id() const {
    return state_->logger_id;
}

}  // namespace platform::wpp
