// Interim WPP runtime: tracing stays inactive until the registration path is built.
#include <wpp_host.h>

extern "C" VOID WppHostInitTracing(PWPP_HOST_CONTROL Control, PVOID, PCUNICODE_STRING) {
    Control->Registered = FALSE;
}

extern "C" VOID WppHostCleanup(PWPP_HOST_CONTROL Control, PVOID) {
    Control->Registered = FALSE;
}

extern "C" VOID WppHostTrace(PWPP_HOST_CONTROL, UCHAR, ULONG, PCSTR, ULONG, PCSTR, PCSTR, ...) {}
