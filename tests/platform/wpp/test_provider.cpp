// The test provider: statements written exactly as driver sources write them.
#include "test_provider.h"

#define WPP_CONTROL_GUIDS                                                              \
    WPP_DEFINE_CONTROL_GUID(TestTraceGuid, (6B1E2A4C, 1D2E, 4F30, 9A8B, 0123456789AB), \
                            WPP_DEFINE_BIT(FLAG_ONE) WPP_DEFINE_BIT(FLAG_TWO))
#include <wpp_host.h>

void test_provider_init() {
    WPP_INIT_TRACING(nullptr, nullptr);
}

void test_provider_cleanup() {
    WPP_CLEANUP(nullptr);
}

WPP_HOST_CONTROL& test_provider_control() {
    return WPP_GLOBAL_Control;
}

void test_provider_emit_levels() {
    TraceEvents(TRACE_LEVEL_ERROR, FLAG_ONE, "level %d", TRACE_LEVEL_ERROR);
    TraceEvents(TRACE_LEVEL_WARNING, FLAG_ONE, "level %d", TRACE_LEVEL_WARNING);
    TraceEvents(TRACE_LEVEL_INFORMATION, FLAG_ONE, "level %d", TRACE_LEVEL_INFORMATION);
    TraceEvents(TRACE_LEVEL_VERBOSE, FLAG_ONE, "level %d", TRACE_LEVEL_VERBOSE);
    TraceEvents(TRACE_LEVEL_ERROR, FLAG_TWO, "flag two");
}

void test_provider_emit_numbers(NTSTATUS status, ULONG value, SIZE_T size, PVOID pointer,
                                BOOLEAN flag, LONG negative, ULONG64 wide) {
    TraceEvents(TRACE_LEVEL_ERROR, FLAG_ONE,
                "%!FUNC! status %!STATUS! value %u/0x%08x/%lu size %Iu ptr %p flag %!bool! "
                "neg %d wide %I64u 100%%",
                status, value, value, value, size, pointer, flag, negative, wide);
}

void test_provider_emit_string(const char* text) {
    TraceEvents(TRACE_LEVEL_ERROR, FLAG_ONE, "text %s", text);
}
