// Bookkeeping behind the kernel's tracing routines: classic ETW providers
// (EtwRegisterClassicProvider / EtwUnregister) and WMI trace providers
// (IoWMIRegistrationControl), keyed by control GUID, and the trace-message routine
// WmiTraceMessage, whose records go to a sink a trace session installs.
//
// A trace session (platform/wpp) enables a provider with enable(guid, level, flags, logger):
// the provider's callback runs with EVENT_CONTROL_CODE_ENABLE_PROVIDER and an enable context
// that WmiQueryTraceInformation answers from (logger handle, level, flags), exactly as a
// classic provider queries its session. disable(guid) calls it with
// EVENT_CONTROL_CODE_DISABLE_PROVIDER. Callbacks run on the calling thread, outside every
// tracing lock.
#pragma once

#include <wdm.h>

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace platform::kernel::tracing {

enum class provider_kind { classic_etw, wmi };

struct provider_info {
    GUID guid{};
    provider_kind kind = provider_kind::classic_etw;
    REGHANDLE reg_handle = 0;  // classic: what EtwRegisterClassicProvider returned
    PVOID device = nullptr;    // WMI: the DEVICE_OBJECT passed to IoWMIRegistrationControl
    bool enabled = false;
    UCHAR level = 0;
    ULONG flags = 0;
    TRACEHANDLE logger = 0;  // encode_handle(...) while enabled, else 0
};

// Every registered provider, in registration order.
std::vector<provider_info> registered_providers();
std::optional<provider_info> find_provider(const GUID& guid);

// Enables / disables every provider registered for `guid` by invoking its callback.
// `logger_id` (1..0xFFFF) names the session; the provider sees
// encode_handle(logger_id, level, flags) as its logger handle. Returns STATUS_WMI_GUID_NOT_FOUND
// when no provider has that GUID.
NTSTATUS enable(const GUID& guid, UCHAR level, ULONG flags, USHORT logger_id);
NTSTATUS disable(const GUID& guid);

// For WMI providers (IoWMIRegistrationControl with WMIREG_FLAG_TRACE_PROVIDER): the
// session's enable is delivered through this hook, which the WPP runtime installs so its
// IRP_MJ_SYSTEM_CONTROL-equivalent handler runs. Arguments: device, enable?, level, flags,
// logger.
using wmi_enable_hook =
    std::function<void(PVOID device, bool enable, UCHAR level, ULONG flags, TRACEHANDLE logger)>;
void set_wmi_enable_hook(wmi_enable_hook hook);
// The control GUID of a device registered with IoWMIRegistrationControl (what WMI would learn
// from the provider's registration-information answer). STATUS_INVALID_PARAMETER when the
// device is not registered.
NTSTATUS set_wmi_provider_guid(PVOID device, const GUID& guid);

// One WmiTraceMessage record as the sink receives it. `args` is the variadic tail as the
// caller passed it: (PVOID data, SIZE_T length) pairs ending with a NULL data pointer, as
// WPP emits them; `items` holds them collected. The data pointers are the caller's and are
// valid only during the sink call.
struct message_item {
    const void* data = nullptr;
    std::size_t length = 0;
};
struct message {
    TRACEHANDLE logger = 0;  // the handle the provider passed (decode_handle for the id)
    ULONG flags = 0;
    GUID message_guid{};
    USHORT number = 0;
    std::vector<message_item> items;
};
using message_sink = std::function<void(const message&)>;
// Installs the sink (empty function removes it). Without a sink WmiTraceMessage still
// validates and counts the record.
void set_message_sink(message_sink sink);
std::uint64_t messages_traced();

// The enable context a classic callback receives (and the TRACEHANDLE a session hands its
// providers): 8 bytes laid out as Windows' TRACE_ENABLE_CONTEXT, so the handle itself carries
// the session's logger id, level and flags. EnableContext points to one of these;
// WmiQueryTraceInformation(TraceEnableLevelClass / TraceEnableFlagsClass / TraceIdClass)
// takes a pointer to the TRACEHANDLE as its Buffer and decodes it (level and flags as ULONG).
struct trace_enable_context {
    USHORT logger_id;
    UCHAR level;
    UCHAR internal_flag;
    ULONG enable_flags;
};
static_assert(sizeof(trace_enable_context) == sizeof(TRACEHANDLE));
TRACEHANDLE encode_handle(USHORT logger_id, UCHAR level, ULONG flags);
trace_enable_context decode_handle(TRACEHANDLE handle);

// Drops every registration and the sink (between scenarios in one process).
void reset();

}  // namespace platform::kernel::tracing

// Control codes of an ETW enable callback.
#ifndef EVENT_CONTROL_CODE_DISABLE_PROVIDER
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2
#endif
