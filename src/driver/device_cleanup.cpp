// Clean-up of the control device: the last chance to shut the ports down, with unbounded
// waits for their service threads.
#include <ntddk.h>
#include <wdf.h>

#include "../port/port_open.h"
#include "../port/port_shutdown.h"
#include "../vrax_device.h"
#include "code_sections.h"
#include "device.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "device_cleanup.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDeviceContextCleanup(WDFOBJECT Device) {
    PAGED_CODE();

    // The object being cleaned up is the device itself. Its context's Device field holds the
    // same handle once device add got that far; the handle passed in is valid even when
    // device add failed before setting it.
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "control device %p cleaned up", Device);
    (VOID) SmdPortsStop(static_cast<WDFDEVICE>(Device), TRUE);
    SmdPortsForget(static_cast<WDFDEVICE>(Device));
    // The device's objects are gone; nothing may create children of it any more. The next
    // device in this driver image records itself again.
    if (ControlDevice == static_cast<WDFDEVICE>(Device)) {
        ControlDevice = nullptr;
    }
}
