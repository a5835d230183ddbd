// What the WPP preprocessor would generate into every "<source>.tmh", for the host build.
//
// A source includes its trace header (which defines WPP_CONTROL_GUIDS and, optionally,
// WPP_LEVEL_FLAGS_ENABLED / WPP_LEVEL_FLAGS_LOGGER) and then its .tmh, which includes this
// file. From WPP_CONTROL_GUIDS it derives, per translation unit:
//   - WPP_BIT_<flag> for each WPP_DEFINE_BIT, numbered from bit 0 of the single flag word;
//   - the control block `WPP_GLOBAL_Control` (one per program, shared by every source);
//   - WPP_INIT_TRACING, WPP_CLEANUP and the trace macro TraceEvents(LEVEL, FLAGS, MSG, ...).
//
// The runtime behind these macros (platform/wpp) is the part of WPP that a WDK build links
// into the driver: it looks up the kernel's tracing routines, registers the control block as
// a classic ETW provider or with WMI, receives enable/disable requests from trace consumers,
// and hands each emitted statement to the kernel's trace-message routine.
//
// Trace statements carry numbers only: the runtime accepts %d %i %u %x %X %c %p with the
// length modifiers h, hh, l, ll, I32, I64, z, I ("l" is 32 bits, as on Windows), the WPP
// types %!STATUS!, %!HRESULT!, %!bool! and the argument-free %!FUNC!, %!LINE!, %!FILE!.
// Any other conversion is a verifier violation.
//
// The declarations are guarded on their own rather than by #pragma once: a source may
// include this file before it defines WPP_CONTROL_GUIDS and again after, and the second
// inclusion must still define the control block and the macros.
#ifndef WPP_HOST_DECLARATIONS_INCLUDED
#define WPP_HOST_DECLARATIONS_INCLUDED

#include <ntdef.h>

#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The control block of one control GUID. Level and Flags are what the enabling consumer
// asked for (zero while nobody traces); Logger is the consumer's session handle, zero while
// disabled. Registered is TRUE between a successful WPP_INIT_TRACING and WPP_CLEANUP.
typedef struct _WPP_HOST_CONTROL {
    GUID ControlGuid;
    PCSTR Name;       // the WPP_DEFINE_CONTROL_GUID name
    ULONG FlagCount;  // number of WPP_DEFINE_BIT entries
    PCSTR const* FlagNames;
    volatile ULONG Flags[1];
    volatile UCHAR Level;
    volatile ULONG64 Logger;
    BOOLEAN Registered;
    UCHAR Mode;         // 0 none, 1 WMI, 2 classic ETW provider (set by the runtime)
    ULONG64 RegHandle;  // the classic provider's registration handle
    PVOID Runtime;      // the runtime's own state for this control block
} WPP_HOST_CONTROL, *PWPP_HOST_CONTROL;

// WPP_INIT_TRACING: initialises the control block and starts tracing (look-ups, then ETW or
// WMI registration). Never fails: a missing routine leaves tracing inactive.
VOID WppHostInitTracing(PWPP_HOST_CONTROL Control, PVOID DriverObject,
                        PCUNICODE_STRING RegistryPath);
// WPP_CLEANUP: unregisters and marks the control block unregistered.
VOID WppHostCleanup(PWPP_HOST_CONTROL Control, PVOID DriverObject);
// One trace statement that passed its enabled test. `Function` and `File` name the site.
VOID WppHostTrace(PWPP_HOST_CONTROL Control, UCHAR Level, ULONG Flag, PCSTR File, ULONG Line,
                  PCSTR Function, PCSTR Format, ...);

// What a statement's enabled test reads, loaded atomically: a session may enable or
// disable the control block while other threads trace.
typedef struct _WPP_HOST_CONTROL_VIEW {
    BOOLEAN Registered;
    UCHAR Level;
    ULONG Flags[1];
    ULONG64 Logger;
} WPP_HOST_CONTROL_VIEW;

static inline WPP_HOST_CONTROL_VIEW WppHostView(const WPP_HOST_CONTROL* Control) {
    WPP_HOST_CONTROL_VIEW view;
    view.Registered = __atomic_load_n(&Control->Registered, __ATOMIC_ACQUIRE);
    view.Level = __atomic_load_n(&Control->Level, __ATOMIC_ACQUIRE);
    view.Flags[0] = __atomic_load_n(&Control->Flags[0], __ATOMIC_ACQUIRE);
    view.Logger = __atomic_load_n(&Control->Logger, __ATOMIC_ACQUIRE);
    return view;
}

#ifdef __cplusplus
}
#endif

#endif  // WPP_HOST_DECLARATIONS_INCLUDED

// The per-program part needs the source's WPP_CONTROL_GUIDS; the runtime itself has none.
#if defined(WPP_CONTROL_GUIDS) && !defined(WPP_HOST_CONTROL_DEFINED)
#define WPP_HOST_CONTROL_DEFINED

// "(40D8BF0F, 70D8, 4AF2, 8A20, B866AB10F381)" -> a GUID initialiser.
#define WPP_HOST_GUID_(a, b, c, d, e)                                                       \
    {                                                                                       \
        0x##a, 0x##b, 0x##c, {                                                              \
            (UCHAR)(0x##d >> 8), (UCHAR)(0x##d & 0xFF), (UCHAR)((0x##e##ULL >> 40) & 0xFF), \
                (UCHAR)((0x##e##ULL >> 32) & 0xFF), (UCHAR)((0x##e##ULL >> 24) & 0xFF),     \
                (UCHAR)((0x##e##ULL >> 16) & 0xFF), (UCHAR)((0x##e##ULL >> 8) & 0xFF),      \
                (UCHAR)(0x##e##ULL & 0xFF)                                                  \
        }                                                                                   \
    }
#define WPP_HOST_GUID(g) WPP_HOST_GUID_ g

// Flag bit numbers and masks.
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) Bits
#define WPP_DEFINE_BIT(Flag) WPP_BITNO_##Flag,
enum WppHostFlagNumbers { WPP_CONTROL_GUIDS WPP_HOST_FLAG_COUNT };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Flag) WPP_BIT_##Flag = 1u << WPP_BITNO_##Flag,
enum WppHostFlagBits : unsigned { WPP_CONTROL_GUIDS WPP_HOST_FLAG_BITS_END };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Flag) #Flag,
static PCSTR const WppHostFlagNames[] = {WPP_CONTROL_GUIDS};
#undef WPP_DEFINE_BIT
#undef WPP_DEFINE_CONTROL_GUID

// The control block, shared by every source of the program (an inline variable with a
// constant initialiser: no constructor runs).
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) WPP_HOST_GUID(Guid), #Name
inline WPP_HOST_CONTROL WPP_GLOBAL_Control = {
    WPP_CONTROL_GUIDS, WPP_HOST_FLAG_COUNT, WppHostFlagNames, {0}, 0, 0, FALSE, 0, 0, NULL};
#undef WPP_DEFINE_CONTROL_GUID

#define WPP_CONTROL(Bit) (WppHostView(&WPP_GLOBAL_Control))
#define WPP_LEVEL_ENABLED(Flag) ((WPP_CONTROL(WPP_BIT_##Flag).Flags[0] & WPP_BIT_##Flag) != 0)
#define WPP_LEVEL_LOGGER(Flag) (WPP_CONTROL(WPP_BIT_##Flag).Logger)
#ifndef WPP_LEVEL_FLAGS_ENABLED
#define WPP_LEVEL_FLAGS_ENABLED(lvl, Flag) \
    (WPP_LEVEL_ENABLED(Flag) && WPP_CONTROL(WPP_BIT_##Flag).Level >= (lvl))
#endif

#define WPP_INIT_TRACING(DriverObject, RegistryPath) \
    WppHostInitTracing(&WPP_GLOBAL_Control, (PVOID)(DriverObject), (RegistryPath))
#define WPP_CLEANUP(DriverObject) WppHostCleanup(&WPP_GLOBAL_Control, (PVOID)(DriverObject))

#define TraceEvents(Level, Flag, Msg, ...)                                                         \
    do {                                                                                           \
        if (WppHostView(&WPP_GLOBAL_Control).Registered && WPP_LEVEL_FLAGS_ENABLED(Level, Flag)) { \
            WppHostTrace(&WPP_GLOBAL_Control, (UCHAR)(Level), WPP_BIT_##Flag, __FILE__, __LINE__,  \
                         __func__, Msg, ##__VA_ARGS__);                                            \
        }                                                                                          \
    } while (0)

#endif  // WPP_HOST_CONTROL_DEFINED
