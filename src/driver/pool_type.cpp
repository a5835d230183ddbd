// The driver's one pool type, chosen at driver entry from the running system's version:
// the same choice the system's own non-executable pool opt-in makes for a driver.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_pool.h"
#include "code_sections.h"
#include "driver.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "pool_type.tmh"
#endif

// MDL mapping flag asking for a no-execute mapping.
#define VRAX_MDL_MAPPING_NO_EXECUTE 0x40000000UL

POOL_TYPE VraxPoolType = NonPagedPool;
ULONG VraxMdlProtection = 0;

VRAX_INIT_CODE
_Use_decl_annotations_ VOID VraxChoosePoolType(VOID) {
    PAGED_CODE();

    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);

    NTSTATUS status = RtlGetVersion(&version);
    if (!NT_SUCCESS(status)) {
        // Not fatal: without a version the pool stays the one every system supports.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "RtlGetVersion failed %!STATUS!", status);
        return;
    }

    if (version.dwMajorVersion > 6 ||
        (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)) {
        VraxPoolType = NonPagedPoolNx;
        VraxMdlProtection = VRAX_MDL_MAPPING_NO_EXECUTE;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "system %u.%u, pool type %d",
                version.dwMajorVersion, version.dwMinorVersion, (int)VraxPoolType);
}
