// The framework verifier's entry points for drivers. WdfVerifierDbgBreakPoint reports a
// potentially invalid operation in the debug output; it stops the machine only when the
// platform is told to break on such errors (platform::wdf::set_verifier_break_on_error), as
// the framework breaks into the debugger only with VerifierDbgBreakOnError set.
// WdfVerifierKeBugCheck is KeBugCheckEx.
#pragma once

#include <wdftypes.h>

WDF_EXTERN_C_START

VOID WdfVerifierDbgBreakPoint(VOID);
VOID WdfVerifierKeBugCheck(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                           ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                           ULONG_PTR BugCheckParameter4);

WDF_EXTERN_C_END
