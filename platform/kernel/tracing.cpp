#include "kernel/tracing.h"

#include <atomic>
#include <mutex>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"

namespace platform::kernel::tracing {

namespace {

struct provider {
    provider_info info;
    PETW_CLASSIC_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    TRACEHANDLE enable_handle = 0;  // the enable context the callback was last given
};

struct tracing_state {
    std::mutex lock;
    std::vector<provider> providers;
    REGHANDLE next_handle = 0x10;
    message_sink sink;
    wmi_enable_hook wmi_hook;
    std::atomic<std::uint64_t> traced{0};
};

tracing_state& state() {
    static tracing_state* s = new tracing_state();
    return *s;
}

bool guid_equal(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}

// Calls the providers registered for `guid` with the lock released.
NTSTATUS control(const GUID& guid, bool enable_it, UCHAR level, ULONG flags, USHORT logger_id) {
    struct call {
        provider_kind kind;
        PETW_CLASSIC_CALLBACK callback;
        PVOID context;
        PVOID device;
        TRACEHANDLE handle;
    };
    std::vector<call> calls;
    wmi_enable_hook hook;
    TRACEHANDLE handle = enable_it ? encode_handle(logger_id, level, flags) : 0;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        for (auto& p : s.providers) {
            if (!guid_equal(p.info.guid, guid)) {
                continue;
            }
            p.info.enabled = enable_it;
            p.info.level = enable_it ? level : 0;
            p.info.flags = enable_it ? flags : 0;
            p.info.logger = handle;
            p.enable_handle = enable_it ? handle : p.enable_handle;
            calls.push_back({p.info.kind, p.callback, p.context, p.info.device, p.enable_handle});
        }
        hook = s.wmi_hook;
    }
    if (calls.empty()) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    for (auto& c : calls) {
        if (c.kind == provider_kind::classic_etw && c.callback != nullptr) {
            TRACEHANDLE context = c.handle;
            c.callback(&guid,
                       enable_it ? EVENT_CONTROL_CODE_ENABLE_PROVIDER
                                 : EVENT_CONTROL_CODE_DISABLE_PROVIDER,
                       &context, c.context);
        } else if (c.kind == provider_kind::wmi && hook) {
            hook(c.device, enable_it, level, flags, handle);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

TRACEHANDLE encode_handle(USHORT logger_id, UCHAR level, ULONG flags) {
    return static_cast<TRACEHANDLE>(logger_id) | (static_cast<TRACEHANDLE>(level) << 16) |
           (static_cast<TRACEHANDLE>(flags) << 32);
}

trace_enable_context decode_handle(TRACEHANDLE handle) {
    trace_enable_context c{};
    c.logger_id = static_cast<USHORT>(handle & 0xFFFF);
    c.level = static_cast<UCHAR>((handle >> 16) & 0xFF);
    c.internal_flag = static_cast<UCHAR>((handle >> 24) & 0xFF);
    c.enable_flags = static_cast<ULONG>(handle >> 32);
    return c;
}

std::vector<provider_info> registered_providers() {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::vector<provider_info> out;
    for (auto& p : s.providers) {
        out.push_back(p.info);
    }
    return out;
}

std::optional<provider_info> find_provider(const GUID& guid) {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (auto& p : s.providers) {
        if (guid_equal(p.info.guid, guid)) {
            return p.info;
        }
    }
    return std::nullopt;
}

NTSTATUS enable(const GUID& guid, UCHAR level, ULONG flags, USHORT logger_id) {
    if (logger_id == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return control(guid, true, level, flags, logger_id);
}

NTSTATUS disable(const GUID& guid) {
    return control(guid, false, 0, 0, 0);
}

NTSTATUS set_wmi_provider_guid(PVOID device, const GUID& guid) {
    auto& s = state();
    std::lock_guard g(s.lock);
    for (auto& p : s.providers) {
        if (p.info.kind == provider_kind::wmi && p.info.device == device) {
            p.info.guid = guid;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

void set_wmi_enable_hook(wmi_enable_hook hook) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.wmi_hook = std::move(hook);
}

void set_message_sink(message_sink sink) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.sink = std::move(sink);
}

std::uint64_t messages_traced() {
    return state().traced.load();
}

void reset() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.providers.clear();
    s.sink = nullptr;
    s.wmi_hook = nullptr;
    s.traced = 0;
}

}  // namespace platform::kernel::tracing

using namespace platform;
using namespace platform::kernel::tracing;

extern "C" NTSTATUS EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                               PETW_CLASSIC_CALLBACK EnableCallback,
                                               PVOID CallbackContext, PREGHANDLE RegHandle) {
    (void)Type;
    if (auto st = faults::fault_point("EtwRegisterClassicProvider")) {
        return *st;
    }
    if (ProviderGuid == nullptr || RegHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    provider p;
    p.info.guid = *ProviderGuid;
    p.info.kind = provider_kind::classic_etw;
    p.info.reg_handle = s.next_handle++;
    p.callback = EnableCallback;
    p.context = CallbackContext;
    *RegHandle = p.info.reg_handle;
    s.providers.push_back(p);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS EtwUnregister(REGHANDLE RegHandle) {
    if (auto st = faults::fault_point("EtwUnregister")) {
        return *st;
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    for (auto it = s.providers.begin(); it != s.providers.end(); ++it) {
        if (it->info.kind == provider_kind::classic_etw && it->info.reg_handle == RegHandle) {
            s.providers.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_HANDLE;
}

extern "C" NTSTATUS IoWMIRegistrationControl(struct _DEVICE_OBJECT* DeviceObject, ULONG Action) {
    if (auto st = faults::fault_point("IoWMIRegistrationControl")) {
        return *st;
    }
    if (DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG action = Action & ~(WMIREG_FLAG_CALLBACK | WMIREG_FLAG_TRACE_PROVIDER);
    auto& s = state();
    std::lock_guard g(s.lock);
    auto find = [&]() {
        for (auto it = s.providers.begin(); it != s.providers.end(); ++it) {
            if (it->info.kind == provider_kind::wmi && it->info.device == DeviceObject) {
                return it;
            }
        }
        return s.providers.end();
    };
    switch (action) {
        case WMIREG_ACTION_REGISTER: {
            if (find() != s.providers.end()) {
                return STATUS_OBJECT_NAME_EXISTS;  // already registered
            }
            // WMI learns a provider's control GUID from its registration-information answer;
            // here the runtime supplies it with set_wmi_provider_guid after registering.
            provider p;
            p.info.kind = provider_kind::wmi;
            p.info.device = DeviceObject;
            s.providers.push_back(p);
            return STATUS_SUCCESS;
        }
        case WMIREG_ACTION_DEREGISTER: {
            auto it = find();
            if (it == s.providers.end()) {
                return STATUS_INVALID_PARAMETER;
            }
            s.providers.erase(it);
            return STATUS_SUCCESS;
        }
        case WMIREG_ACTION_REREGISTER:
        case WMIREG_ACTION_UPDATE_GUIDS:
            return find() == s.providers.end() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

extern "C" NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                    LPCGUID MessageGuid, USHORT MessageNumber, ...) {
    if (auto st = faults::fault_point("WmiTraceMessage")) {
        return *st;
    }
    if (LoggerHandle == 0 || MessageGuid == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    message m;
    m.logger = LoggerHandle;
    m.flags = MessageFlags;
    m.message_guid = *MessageGuid;
    m.number = MessageNumber;
    va_list ap;
    // The routine's signature is the kernel's: the last named parameter is a USHORT, which
    // clang warns about; the promoted argument sits where va_start expects it on every ABI
    // this platform builds for.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(ap, MessageNumber);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    // (data, length) pairs ending with a NULL data pointer; a runaway list is cut off.
    for (int i = 0; i < 64; ++i) {
        const void* data = va_arg(ap, const void*);
        if (data == nullptr) {
            break;
        }
        std::size_t length = va_arg(ap, std::size_t);
        m.items.push_back({data, length});
    }
    va_end(ap);
    auto& s = state();
    message_sink sink;
    {
        std::lock_guard g(s.lock);
        sink = s.sink;
    }
    ++s.traced;
    if (sink) {
        sink(m);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass,
                                             PVOID TraceInformation, ULONG TraceInformationLength,
                                             PULONG RequiredLength, PVOID Buffer) {
    if (auto st = faults::fault_point("WmiQueryTraceInformation")) {
        return *st;
    }
    auto put_ulong = [&](ULONG v) -> NTSTATUS {
        if (RequiredLength != nullptr) {
            *RequiredLength = sizeof(ULONG);
        }
        if (TraceInformationLength != sizeof(ULONG) || TraceInformation == nullptr) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        *static_cast<ULONG*>(TraceInformation) = v;
        return STATUS_SUCCESS;
    };
    switch (TraceInformationClass) {
        case TraceEnableFlagsClass:
        case TraceEnableLevelClass:
        case TraceIdClass: {
            if (Buffer == nullptr) {
                return STATUS_INVALID_PARAMETER_MIX;
            }
            TRACEHANDLE handle = *static_cast<const TRACEHANDLE*>(Buffer);
            trace_enable_context c = decode_handle(handle);
            if (c.logger_id == 0) {
                return STATUS_INVALID_HANDLE;
            }
            if (TraceInformationClass == TraceEnableFlagsClass) {
                return put_ulong(c.enable_flags);
            }
            if (TraceInformationClass == TraceEnableLevelClass) {
                return put_ulong(c.level);
            }
            return put_ulong(c.logger_id);
        }
        case TraceHandleClass: {
            if (Buffer == nullptr) {
                return STATUS_INVALID_PARAMETER_MIX;
            }
            if (RequiredLength != nullptr) {
                *RequiredLength = sizeof(TRACEHANDLE);
            }
            if (TraceInformationLength != sizeof(TRACEHANDLE) || TraceInformation == nullptr) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            ULONG id = *static_cast<const ULONG*>(Buffer);
            // The handle of an enabled session with that logger id.
            auto& s = state();
            std::lock_guard g(s.lock);
            for (auto& p : s.providers) {
                if (p.info.enabled && decode_handle(p.info.logger).logger_id == id) {
                    *static_cast<TRACEHANDLE*>(TraceInformation) = p.info.logger;
                    return STATUS_SUCCESS;
                }
            }
            return STATUS_INVALID_HANDLE;
        }
        case GlobalLoggerHandleClass:
            return STATUS_NOT_FOUND;
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
}
