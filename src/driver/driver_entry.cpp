// Driver entry and unload. Entry starts tracing, chooses the pool type and registers the
// framework driver, whose device-add callback builds the control device. Unload only stops
// tracing: by then the framework has removed the device and everything under it, and every
// other framework object of the driver descends from the device or the driver object.
#include <ntddk.h>
#include <wdf.h>

#include "../session/session.h"
#include "../vrax_pool.h"
#include "code_sections.h"
#include "device.h"
#include "driver.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "driver_entry.tmh"
#endif

#if defined(ALLOC_PRAGMA)
#pragma alloc_text(INIT, DriverEntry)
#endif

WDFDRIVER VraxDriver = nullptr;

namespace {

constexpr ULONG Digit(char c) {
    return (c >= '0' && c <= '9') ? static_cast<ULONG>(c - '0') : 0;
}

constexpr ULONG MonthOf(const char* d) {
    constexpr char names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (ULONG m = 0; m < 12; ++m) {
        if (names[m * 3] == d[0] && names[m * 3 + 1] == d[1] && names[m * 3 + 2] == d[2]) {
            return m + 1;
        }
    }
    return 0;
}

// __DATE__ ("Mmm dd yyyy", day space-padded) as yyyymmdd and __TIME__ ("hh:mm:ss") as
// hhmmss, so that the build stamp travels in the trace as two numbers.
constexpr ULONG BuildDate(const char* d) {
    return (Digit(d[7]) * 1000 + Digit(d[8]) * 100 + Digit(d[9]) * 10 + Digit(d[10])) * 10000 +
           MonthOf(d) * 100 + Digit(d[4]) * 10 + Digit(d[5]);
}

constexpr ULONG BuildTime(const char* t) {
    return (Digit(t[0]) * 10 + Digit(t[1])) * 10000 + (Digit(t[3]) * 10 + Digit(t[4])) * 100 +
           Digit(t[6]) * 10 + Digit(t[7]);
}

constexpr ULONG VraxBuildDate = BuildDate(__DATE__);
constexpr ULONG VraxBuildTime = BuildTime(__TIME__);

}  // namespace

extern "C" _Use_decl_annotations_ NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                       PUNICODE_STRING RegistryPath) {
    PAGED_CODE();

    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "driver built %u %06u", VraxBuildDate,
                VraxBuildTime);

    VraxChoosePoolType();
    // Session and kernel-client keys start at 1 with every load of the driver image.
    ResetSessionKeys();

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;
    config.DriverPoolTag = VRAX_TAG_DRIVER;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;

    WDFDRIVER driver = nullptr;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDriverCreate failed %!STATUS!", status);
        WPP_CLEANUP(DriverObject);
        return status;
    }
    VraxDriver = driver;
    return status;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDriverUnload(WDFDRIVER Driver) {
    PAGED_CODE();

    // At error level on purpose: the unload shows in any trace that records errors.
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "driver unloading");
    WPP_CLEANUP(WdfDriverWdmGetDriverObject(Driver));
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDriverContextCleanup(WDFOBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "driver object cleaned up");
}
