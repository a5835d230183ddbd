// The WPP runtime a driver links: start-up look-ups and registration of its control block,
// the enable callbacks through which trace sessions switch it on and off, and the
// forwarding of each emitted statement to the kernel's trace-message routine.
//
// Start-up looks the kernel's tracing routines up by name, as a driver binary must to run on
// several system versions: "PsGetVersion", "WmiTraceMessage", "WmiQueryTraceInformation",
// and on 6.0 and later "EtwRegisterClassicProvider" with "EtwUnregister". With both ETW
// routines the control block registers as a classic ETW provider; otherwise it registers
// with WMI as a trace provider.
#include <wpp_host.h>

#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>

#include "core/bugcheck.h"
#include "kernel/tracing.h"
#include "wpp/message_format.h"
#include "wpp/session_registry.h"

namespace {

namespace tracing = platform::kernel::tracing;

using ps_get_version_fn = BOOLEAN (*)(PULONG, PULONG, PULONG, PUNICODE_STRING);
using wmi_trace_message_fn = NTSTATUS (*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
using wmi_query_fn = NTSTATUS (*)(TRACE_INFORMATION_CLASS, PVOID, ULONG, PULONG, PVOID);
using etw_register_fn = NTSTATUS (*)(LPCGUID, ULONG, PETW_CLASSIC_CALLBACK, PVOID, PREGHANDLE);
using etw_unregister_fn = NTSTATUS (*)(REGHANDLE);

constexpr UCHAR mode_none = 0;
constexpr UCHAR mode_wmi = 1;
constexpr UCHAR mode_etw = 2;

// Flags of WmiTraceMessage: a sequence number, the message GUID, the system information
// (thread and process) and a time stamp go with every record.
constexpr ULONG trace_message_sequence = 0x01;
constexpr ULONG trace_message_guid = 0x02;
constexpr ULONG trace_message_timestamp = 0x08;
constexpr ULONG trace_message_systeminfo = 0x20;

constexpr std::size_t max_args = 16;

// What the look-ups found, per control block. Kept for the life of the process: a statement
// racing a clean-up never sees freed state.
struct control_state {
    ps_get_version_fn ps_get_version = nullptr;
    wmi_trace_message_fn trace_message = nullptr;
    wmi_query_fn query_information = nullptr;
    etw_register_fn etw_register = nullptr;
    etw_unregister_fn etw_unregister = nullptr;
};

std::mutex& state_lock() {
    static std::mutex lock;
    return lock;
}

std::map<PWPP_HOST_CONTROL, control_state>& states() {
    static std::map<PWPP_HOST_CONTROL, control_state> s;
    return s;
}

void* lookup(const char16_t* name) {
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, name);
    return MmGetSystemRoutineAddress(&routine);
}

// The enable state a session sets; statements read it with atomic loads (wpp_host.h).
void set_enable_state(PWPP_HOST_CONTROL control, ULONG flags, UCHAR level, ULONG64 logger) {
    __atomic_store_n(&control->Flags[0], flags, __ATOMIC_RELEASE);
    __atomic_store_n(&control->Level, level, __ATOMIC_RELEASE);
    __atomic_store_n(&control->Logger, logger, __ATOMIC_RELEASE);
}

// Classic provider enable callback: the enable context is the session's logger handle, from
// which the kernel answers the enabled flags and level.
VOID classic_enable_callback(LPCGUID, UCHAR control_code, PVOID enable_context,
                             PVOID callback_context) {
    auto* control = static_cast<PWPP_HOST_CONTROL>(callback_context);
    if (control == nullptr)
        return;
    if (control_code == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
        set_enable_state(control, 0, 0, 0);
        return;
    }
    if (control_code != EVENT_CONTROL_CODE_ENABLE_PROVIDER || enable_context == nullptr)
        return;

    auto* state = static_cast<control_state*>(control->Runtime);
    TRACEHANDLE logger;
    std::memcpy(&logger, enable_context, sizeof(logger));
    ULONG flags = 0;
    ULONG level = 0;
    if (state == nullptr || state->query_information == nullptr ||
        !NT_SUCCESS(state->query_information(TraceEnableFlagsClass, &flags, sizeof(flags), nullptr,
                                             &logger)) ||
        !NT_SUCCESS(state->query_information(TraceEnableLevelClass, &level, sizeof(level), nullptr,
                                             &logger))) {
        return;
    }
    set_enable_state(control, flags, static_cast<UCHAR>(level), logger);
}

// WMI trace providers are enabled through the kernel's hook; one hook serves every control
// block registered in WMI mode, found by the address it registered under.
void install_wmi_hook() {
    tracing::set_wmi_enable_hook(
        [](PVOID device, bool enable, UCHAR level, ULONG flags, TRACEHANDLE logger) {
            auto* control = static_cast<PWPP_HOST_CONTROL>(device);
            {
                std::lock_guard lk(state_lock());
                if (states().count(control) == 0 || control->Mode != mode_wmi)
                    return;
            }
            if (enable) {
                set_enable_state(control, flags, level, logger);
            } else {
                set_enable_state(control, 0, 0, 0);
            }
        });
}

void choose_mode(PWPP_HOST_CONTROL control, control_state* state) {
    state->ps_get_version = reinterpret_cast<ps_get_version_fn>(lookup(u"PsGetVersion"));
    state->trace_message = reinterpret_cast<wmi_trace_message_fn>(lookup(u"WmiTraceMessage"));
    state->query_information = reinterpret_cast<wmi_query_fn>(lookup(u"WmiQueryTraceInformation"));
    state->etw_register = nullptr;
    state->etw_unregister = nullptr;
    control->Mode = mode_wmi;

    ULONG major = 0;
    if (state->ps_get_version != nullptr) {
        state->ps_get_version(&major, nullptr, nullptr, nullptr);
    }
    if (major >= 6) {
        state->etw_register =
            reinterpret_cast<etw_register_fn>(lookup(u"EtwRegisterClassicProvider"));
        if (state->etw_register != nullptr) {
            state->etw_unregister = reinterpret_cast<etw_unregister_fn>(lookup(u"EtwUnregister"));
        }
        // A registration that could not be undone would outlive the driver: ETW mode needs
        // both routines.
        if (state->etw_register != nullptr && state->etw_unregister != nullptr) {
            control->Mode = mode_etw;
        }
    }
}

// Reads one argument of `kind` from the statement's variable arguments.
void read_arg(va_list* args, platform::wpp::arg_kind kind, std::uint64_t* slot) {
    using platform::wpp::arg_kind;
    switch (kind) {
        case arg_kind::i64:
        case arg_kind::u64:
            *slot = va_arg(*args, unsigned long long);
            break;
        case arg_kind::pointer:
            *slot = reinterpret_cast<std::uintptr_t>(va_arg(*args, void*));
            break;
        default: {
            const std::uint32_t v = va_arg(*args, unsigned int);
            std::memcpy(slot, &v, sizeof(v));
            break;
        }
    }
}

}  // namespace

extern "C" VOID WppHostInitTracing(PWPP_HOST_CONTROL Control, PVOID, PCUNICODE_STRING) {
    set_enable_state(Control, 0, 0, 0);
    __atomic_store_n(&Control->Registered, FALSE, __ATOMIC_RELEASE);
    Control->RegHandle = 0;
    Control->Mode = mode_none;

    control_state* state;
    {
        std::lock_guard lk(state_lock());
        state = &states()[Control];
    }
    Control->Runtime = state;
    choose_mode(Control, state);

    NTSTATUS status;
    if (Control->Mode == mode_etw) {
        REGHANDLE handle = 0;
        status = state->etw_register(&Control->ControlGuid, 0, classic_enable_callback, Control,
                                     &handle);
        Control->RegHandle = NT_SUCCESS(status) ? handle : 0;
    } else {
        install_wmi_hook();
        status = IoWMIRegistrationControl(
            reinterpret_cast<PDEVICE_OBJECT>(Control),
            WMIREG_ACTION_REGISTER | WMIREG_FLAG_TRACE_PROVIDER | WMIREG_FLAG_CALLBACK);
        if (NT_SUCCESS(status)) {
            // What WMI would learn from the registration-information request.
            tracing::set_wmi_provider_guid(Control, Control->ControlGuid);
        }
    }
    if (!NT_SUCCESS(status)) {
        // Tracing stays inactive; the driver goes on without it.
        Control->Mode = mode_none;
        return;
    }
    __atomic_store_n(&Control->Registered, TRUE, __ATOMIC_RELEASE);
    platform::wpp::detail::provider_registered(Control->ControlGuid);
}

extern "C" VOID WppHostCleanup(PWPP_HOST_CONTROL Control, PVOID) {
    auto* state = static_cast<control_state*>(Control->Runtime);
    __atomic_store_n(&Control->Registered, FALSE, __ATOMIC_RELEASE);
    if (Control->Mode == mode_etw) {
        if (Control->RegHandle != 0 && state != nullptr && state->etw_unregister != nullptr) {
            state->etw_unregister(Control->RegHandle);
        }
        Control->RegHandle = 0;
    } else if (Control->Mode == mode_wmi) {
        IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(Control),
                                 WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK);
    }
    Control->Mode = mode_none;
    set_enable_state(Control, 0, 0, 0);
}

extern "C" VOID WppHostTrace(PWPP_HOST_CONTROL Control, UCHAR Level, ULONG Flag, PCSTR File,
                             ULONG Line, PCSTR Function, PCSTR Format, ...) {
    // The format is checked first, so that a statement that is not numbers-only is caught
    // by any run that enables it.
    const platform::wpp::message_format& format = platform::wpp::register_site(
        Control->ControlGuid, Level, Flag, File, Line, Function, Format);
    if (format.args.size() > max_args) {
        platform::bug_check(platform::bug_code::driver_verifier_detected_violation,
                            "trace statement with more than 16 arguments");
    }

    auto* state = static_cast<control_state*>(Control->Runtime);
    const ULONG64 logger = __atomic_load_n(&Control->Logger, __ATOMIC_ACQUIRE);
    if (!__atomic_load_n(&Control->Registered, __ATOMIC_ACQUIRE) || logger == 0 ||
        state == nullptr || state->trace_message == nullptr) {
        return;
    }

    std::uint64_t values[max_args] = {};
    PVOID data[max_args] = {};
    SIZE_T lengths[max_args] = {};
    va_list args;
    va_start(args, Format);
    for (std::size_t i = 0; i < format.args.size(); ++i) {
        read_arg(&args, format.args[i], &values[i]);
        data[i] = &values[i];
        lengths[i] = platform::wpp::arg_size(format.args[i]);
    }
    va_end(args);

    // The argument list ends at the first NULL data pointer.
    state->trace_message(logger,
                         trace_message_sequence | trace_message_guid | trace_message_systeminfo |
                             trace_message_timestamp,
                         &Control->ControlGuid, format.number, data[0], lengths[0], data[1],
                         lengths[1], data[2], lengths[2], data[3], lengths[3], data[4], lengths[4],
                         data[5], lengths[5], data[6], lengths[6], data[7], lengths[7], data[8],
                         lengths[8], data[9], lengths[9], data[10], lengths[10], data[11],
                         lengths[11], data[12], lengths[12], data[13], lengths[13], data[14],
                         lengths[14], data[15], lengths[15], static_cast<PVOID>(nullptr));
}
