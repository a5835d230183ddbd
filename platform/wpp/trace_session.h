// A trace consumer: a session that enables one control GUID at a level and with flags and
// collects every record its providers send, decoded.
//
//     platform::wpp::trace_session session(platform::wpp::vrax_control_guid(),
//                                          TRACE_LEVEL_VERBOSE, 0x1);
//     ... load the driver, run ...
//     for (const auto& r : session.records()) { r.level, r.text, r.file, r.line ... }
//
// As with ETW, the session enables a provider that is already registered at once, and one
// that registers later as soon as it registers (also again after a reload). Stopping the
// session (or destroying it) disables the provider. One session per control GUID.
#pragma once

#include <wdm.h>
#include <wpp_host.h>  // the TRACE_LEVEL_ values

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/scheduler.h"

namespace platform::wpp {

struct trace_record {
    UCHAR level = 0;
    ULONG flag = 0;    // the statement's flag bit (mask)
    std::string file;  // as the statement's __FILE__ names it
    ULONG line = 0;
    std::string function;
    std::string format;          // the statement's format
    std::string text;            // formatted
    std::uint64_t sequence = 0;  // 1, 2, ... per session
    ticks time = 0;              // virtual time when the record arrived
};

// {40D8BF0F-70D8-4AF2-8A20-B866AB10F381}, the driver's control GUID.
GUID vrax_control_guid();

class trace_session {
  public:
    trace_session(const GUID& control_guid, UCHAR level, ULONG flags);
    ~trace_session();
    trace_session(const trace_session&) = delete;
    trace_session& operator=(const trace_session&) = delete;

    // Disables the provider and stops collecting; records stay readable. Idempotent.
    void stop();
    bool active() const;

    // Whether a provider for the GUID has been enabled by this session (at start or when it
    // registered).
    bool provider_enabled() const;

    std::vector<trace_record> records() const;
    std::size_t size() const;
    std::size_t count_at(UCHAR level) const;
    bool contains(std::string_view text) const;
    void clear();

    USHORT logger_id() const;

    struct state;

  private:
    std::shared_ptr<state> state_;
};

}  // namespace platform::wpp
