// The version the machine reports, routine look-up, debug output and bug checks.
#include "kernel/system_config.h"

#include <ntstrsafe.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "kernel/format.h"
#include "kernel/strings.h"

extern "C" {
// Routines defined in other kernel sources, named here for the look-up table.
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);
PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);
}

namespace platform::kernel {

namespace {

struct config_state {
    std::mutex lock;
    os_version version;
    std::map<std::u16string, void*, less_insensitive> routines;
    std::set<std::u16string, less_insensitive> hidden;
    bool verbose = std::getenv("VRAX_DEBUG_PRINT") != nullptr;
    std::vector<std::string> debug_lines;
};

#define VRAX_ROUTINE(name) \
    { u## #name, reinterpret_cast<void*>(&name) }

config_state& state() {
    static config_state* s = [] {
        auto* c = new config_state();
        // Every routine the kernel part of the platform exports.
        std::pair<const char16_t*, void*> table[] = {
            VRAX_ROUTINE(KeGetCurrentIrql),
            VRAX_ROUTINE(KeRaiseIrql),
            VRAX_ROUTINE(KeLowerIrql),
            VRAX_ROUTINE(KeRaiseIrqlToDpcLevel),
            VRAX_ROUTINE(KeCheckPagedCode),
            VRAX_ROUTINE(KeBugCheckEx),
            VRAX_ROUTINE(KeBugCheck),
            VRAX_ROUTINE(DbgPrint),
            VRAX_ROUTINE(DbgPrintEx),
            VRAX_ROUTINE(DbgBreakPoint),
            VRAX_ROUTINE(RtlAssert),
            VRAX_ROUTINE(ExAllocatePoolWithTag),
            VRAX_ROUTINE(ExAllocatePool),
            VRAX_ROUTINE(ExAllocatePool2),
            VRAX_ROUTINE(ExFreePoolWithTag),
            VRAX_ROUTINE(ExFreePool),
            VRAX_ROUTINE(RtlCompareMemory),
            VRAX_ROUTINE(KeInitializeEvent),
            VRAX_ROUTINE(KeSetEvent),
            VRAX_ROUTINE(KeClearEvent),
            VRAX_ROUTINE(KeResetEvent),
            VRAX_ROUTINE(KeReadStateEvent),
            VRAX_ROUTINE(KeWaitForSingleObject),
            VRAX_ROUTINE(KeWaitForMultipleObjects),
            VRAX_ROUTINE(KeDelayExecutionThread),
            VRAX_ROUTINE(KeQuerySystemTime),
            VRAX_ROUTINE(KeQueryInterruptTime),
            VRAX_ROUTINE(PsCreateSystemThread),
            VRAX_ROUTINE(PsTerminateSystemThread),
            VRAX_ROUTINE(KeGetCurrentThread),
            VRAX_ROUTINE(PsGetCurrentThread),
            VRAX_ROUTINE(PsGetCurrentThreadId),
            VRAX_ROUTINE(PsIsSystemThread),
            VRAX_ROUTINE(KeSetPriorityThread),
            VRAX_ROUTINE(ObReferenceObjectByHandle),
            VRAX_ROUTINE(ObfReferenceObject),
            VRAX_ROUTINE(ObfDereferenceObject),
            VRAX_ROUTINE(ZwClose),
            VRAX_ROUTINE(NtClose),
            VRAX_ROUTINE(RtlGetVersion),
            VRAX_ROUTINE(PsGetVersion),
            VRAX_ROUTINE(MmGetSystemRoutineAddress),
            VRAX_ROUTINE(RtlInitUnicodeString),
            VRAX_ROUTINE(RtlInitUnicodeStringEx),
            VRAX_ROUTINE(RtlInitAnsiString),
            VRAX_ROUTINE(RtlAnsiStringToUnicodeString),
            VRAX_ROUTINE(RtlFreeUnicodeString),
            VRAX_ROUTINE(RtlCopyUnicodeString),
            VRAX_ROUTINE(RtlCompareUnicodeString),
            VRAX_ROUTINE(RtlEqualUnicodeString),
            VRAX_ROUTINE(RtlAppendUnicodeStringToString),
            VRAX_ROUTINE(RtlAppendUnicodeToString),
            VRAX_ROUTINE(RtlIntegerToUnicodeString),
            VRAX_ROUTINE(RtlUnicodeStringToInteger),
            VRAX_ROUTINE(RtlUpcaseUnicodeChar),
            VRAX_ROUTINE(RtlIsNtDdiVersionAvailable),
            VRAX_ROUTINE(RtlNtStatusToDosError),
            VRAX_ROUTINE(EtwRegisterClassicProvider),
            VRAX_ROUTINE(EtwUnregister),
            VRAX_ROUTINE(IoWMIRegistrationControl),
            VRAX_ROUTINE(WmiTraceMessage),
            VRAX_ROUTINE(WmiQueryTraceInformation),
            VRAX_ROUTINE(IoCreateNotificationEvent),
            VRAX_ROUTINE(IoCreateSynchronizationEvent),
            VRAX_ROUTINE(RtlStringCbPrintfW),
            VRAX_ROUTINE(RtlStringCchPrintfW),
            VRAX_ROUTINE(RtlStringCbPrintfA),
            VRAX_ROUTINE(RtlStringCchPrintfA),
            VRAX_ROUTINE(RtlStringCbVPrintfW),
            VRAX_ROUTINE(RtlStringCbCopyW),
            VRAX_ROUTINE(RtlStringCchCopyW),
            VRAX_ROUTINE(RtlStringCbCopyNW),
            VRAX_ROUTINE(RtlStringCbCatW),
            VRAX_ROUTINE(RtlStringCchCatW),
            VRAX_ROUTINE(RtlStringCbLengthW),
            VRAX_ROUTINE(RtlStringCchLengthW),
            VRAX_ROUTINE(RtlStringCbCopyA),
            VRAX_ROUTINE(RtlStringCchLengthA),
            VRAX_ROUTINE(RtlUnicodeStringCopy),
            VRAX_ROUTINE(RtlUnicodeStringCat),
            VRAX_ROUTINE(RtlUnicodeStringPrintf),
            {u"wcslen", reinterpret_cast<void*>(&KrtWcslen)},
            {u"wcsncmp", reinterpret_cast<void*>(&KrtWcsncmp)},
            {u"wcscpy_s", reinterpret_cast<void*>(&KrtWcscpyS)},
            {u"swprintf_s", reinterpret_cast<void*>(&KrtSwprintfS)},
            {u"sprintf_s", reinterpret_cast<void*>(&KrtSprintfS)},
        };
        for (auto& [name, address] : table) {
            c->routines.emplace(name, address);
        }
        return c;
    }();
    return *s;
}

#undef VRAX_ROUTINE

void record_debug_text(const std::string& text) {
    auto& s = state();
    bool verbose;
    {
        std::lock_guard g(s.lock);
        s.debug_lines.push_back(text);
        verbose = s.verbose;
    }
    if (verbose) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace

void set_os_version(std::uint32_t major, std::uint32_t minor, std::uint32_t build) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.version = {major, minor, build};
}

os_version get_os_version() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.version;
}

void register_routine(std::u16string_view name, void* address) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.routines[std::u16string(name)] = address;
}

void hide_routine(std::u16string_view name) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.hidden.emplace(name);
}

void restore_routines() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.hidden.clear();
}

void* find_routine(std::u16string_view name) {
    auto& s = state();
    std::lock_guard g(s.lock);
    // Exported names are matched exactly, as the loader's export look-up does.
    auto it = s.routines.find(name);
    if (it == s.routines.end() || it->first != name || s.hidden.count(std::u16string(name)) != 0) {
        return nullptr;
    }
    return it->second;
}

std::vector<std::u16string> exported_routines() {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::vector<std::u16string> out;
    for (auto& [name, address] : s.routines) {
        out.push_back(name);
    }
    return out;
}

void set_debug_print_verbose(bool verbose) {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.verbose = verbose;
}

std::vector<std::string> debug_output() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.debug_lines;
}

void clear_debug_output() {
    auto& s = state();
    std::lock_guard g(s.lock);
    s.debug_lines.clear();
}

// NTDDI value of the configured version (0 when older than Windows 7).
ULONG ntddi_version();
ULONG ntddi_version() {
    os_version v = get_os_version();
    if (v.major >= 10) {
        // Windows 10 and later: the subversion follows the build.
        static const std::pair<std::uint32_t, ULONG> builds[] = {
            {10586, 1}, {14393, 2}, {15063, 3}, {16299, 4},   {17134, 5},   {17763, 6},
            {18362, 7}, {19041, 8}, {20348, 9}, {22000, 0xB}, {22621, 0xC}, {26100, 0x10},
        };
        ULONG sub = 0;
        for (auto& [build, value] : builds) {
            if (v.build >= build) {
                sub = value;
            }
        }
        return 0x0A000000u | sub;
    }
    return (v.major << 24) | (v.minor << 16);
}

}  // namespace platform::kernel

using namespace platform;

extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (auto st = faults::fault_point("RtlGetVersion")) {
        return *st;
    }
    if (lpVersionInformation == nullptr ||
        (lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
         lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOEXW))) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::os_version v = kernel::get_os_version();
    lpVersionInformation->dwMajorVersion = v.major;
    lpVersionInformation->dwMinorVersion = v.minor;
    lpVersionInformation->dwBuildNumber = v.build;
    lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    lpVersionInformation->szCSDVersion[0] = 0;
    if (lpVersionInformation->dwOSVersionInfoSize == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS
        ex->wProductType = 1;    // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                PUNICODE_STRING CSDVersion) {
    kernel::os_version v = kernel::get_os_version();
    if (MajorVersion != nullptr) {
        *MajorVersion = v.major;
    }
    if (MinorVersion != nullptr) {
        *MinorVersion = v.minor;
    }
    if (BuildNumber != nullptr) {
        *BuildNumber = v.build;
    }
    if (CSDVersion != nullptr) {
        CSDVersion->Length = 0;
    }
    return FALSE;  // a free build
}

extern "C" BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) {
    return Version <= kernel::ntddi_version() ? TRUE : FALSE;
}

extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    if (faults::fault_point("MmGetSystemRoutineAddress")) {
        return nullptr;
    }
    if (SystemRoutineName == nullptr) {
        return nullptr;
    }
    return kernel::find_routine(kernel::view(SystemRoutineName));
}

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2,
                             ULONG_PTR Parameter3, ULONG_PTR Parameter4) {
    bug_check(static_cast<bug_code>(BugCheckCode), "KeBugCheckEx called by the driver", Parameter1,
              Parameter2, Parameter3, Parameter4);
}

extern "C" VOID KeBugCheck(ULONG BugCheckCode) {
    bug_check(static_cast<bug_code>(BugCheckCode), "KeBugCheck called by the driver");
}

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    auto text = kernel::format::narrow(Format, ap);
    va_end(ap);
    kernel::record_debug_text(text ? *text : std::string("<malformed DbgPrint format>\n"));
    return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    (void)Level;
    va_list ap;
    va_start(ap, Format);
    auto text = kernel::format::narrow(Format, ap);
    va_end(ap);
    kernel::record_debug_text(text ? *text : std::string("<malformed DbgPrintEx format>\n"));
    return STATUS_SUCCESS;
}

extern "C" VOID DbgBreakPoint(VOID) {
    // No debugger is attached: a break-in stops the machine, as it would without one.
    bug_check(static_cast<bug_code>(0x80000003u), "DbgBreakPoint with no debugger attached");
}

extern "C" VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                          PSTR MutableMessage) {
    std::string what = "assertion failed: ";
    what += VoidFailedAssertion ? static_cast<const char*>(VoidFailedAssertion) : "?";
    if (MutableMessage != nullptr) {
        what += std::string(" (") + MutableMessage + ")";
    }
    what += std::string(" at ") + (VoidFileName ? static_cast<const char*>(VoidFileName) : "?") +
            ":" + std::to_string(LineNumber);
    bug_check(bug_code::driver_verifier_detected_violation, what, LineNumber);
}
