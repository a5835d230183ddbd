// Shutdown of the ports. PortStopEvent tells every service thread and every waiting control
// that the ports are going; the shutdown then waits for the threads, hands the named events
// programs registered their final signal, withdraws the device interface and empties the
// routing and transaction tables.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "../protocol/routing.h"
#include "hardware.h"
#include "interface.h"
#include "port_shutdown.h"
#include "port_table.h"
#include "receive_dispatch.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_shutdown.tmh"
#endif

namespace {

// Waits for each port's service thread and drops the reference the port's first open took.
// A thread that outlives a bounded wait is let go: its entry is cleared, and its reference
// moves to AbandonedPortThreads, so that the device cannot go while it runs driver code.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID
    WaitForPortThreads(_Inout_ PVRAX_DEVICE_CONTEXT Context, _In_ BOOLEAN WaitForever) {
    PAGED_CODE();

    LARGE_INTEGER timeout;
    timeout.QuadPart = VRAX_TIMEOUT_PORT_THREAD;
    ULONG count = Context->PortCount;
    if (count > VRAX_PORT_COUNT) {
        count = VRAX_PORT_COUNT;
    }
    for (ULONG i = 0; i < count; ++i) {
        PETHREAD thread = Context->PortThreads[i];
        if (thread == nullptr) {
            continue;
        }
        Context->PortThreads[i] = nullptr;
        NTSTATUS status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE,
                                                WaitForever ? nullptr : &timeout);
        if (status == STATUS_TIMEOUT && Context->AbandonedPortThreads[i] == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u thread did not end in time", i);
            Context->AbandonedPortThreads[i] = thread;
            continue;
        }
        if (status == STATUS_TIMEOUT) {
            // Only one thread per port can have been started; a second abandoned one
            // would mean the table was overwritten. Wait for it rather than lose it.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u second late thread", i);
            (VOID) KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        }
        ObDereferenceObject(thread);
    }
}

// Sets every named event a program registered and releases the driver's handle and
// reference. The slots are emptied; the count of used slots stays.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID ReleaseNamedEvents(_Inout_ PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    ULONG count = Context->NamedEventCount;
    if (count > VRAX_NAMED_EVENT_SLOTS) {
        count = VRAX_NAMED_EVENT_SLOTS;
    }
    for (ULONG i = 0; i < count; ++i) {
        PKEVENT event = Context->NamedEvents[i];
        if (event == nullptr) {
            continue;
        }
        KeSetEvent(event, 0, FALSE);
        if (Context->NamedEventHandles[i] != nullptr) {
            NTSTATUS status = ZwClose(Context->NamedEventHandles[i]);
            if (NT_SUCCESS(status)) {
                Context->NamedEventHandles[i] = nullptr;
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "ZwClose of event %u failed %!STATUS!",
                            i, status);
            }
        }
        ObDereferenceObject(event);
        Context->NamedEvents[i] = nullptr;
        Context->NamedEventHandles[i] = nullptr;
    }
}

// Sets PortStopEvent while no interface work item runs: a port start-up either finished
// before, its thread recorded in PortThreads for the waits that follow, or runs after and
// sees the event.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID SignalPortStop(_Inout_ PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context->InterfaceWorkGateReady) {
        (VOID) KeWaitForSingleObject(&Context->InterfaceWorkGate, Executive, KernelMode, FALSE,
                                     nullptr);
    }
    KeSetEvent(&PortStopEvent, 1, FALSE);
    if (Context->InterfaceWorkGateReady) {
        KeSetEvent(&Context->InterfaceWorkGate, 0, FALSE);
    }
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdPortsEndThreads(PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    // A removal that finds the device out of D0 (it slept, or was surprise-removed while in a
    // low-power state) gets no D0 exit to D3 final, so nothing has stopped the ports yet. The
    // device's clean-up callback would be too late: it runs after the device's children, the
    // port targets and work items among them, have been deleted.
    SignalPortStop(Context);
    WaitForPortThreads(Context, TRUE);
    SmdPortsAwaitAbandoned(Context);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdPortsAwaitAbandoned(PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    for (ULONG i = 0; i < VRAX_PORT_COUNT; ++i) {
        PETHREAD thread = Context->AbandonedPortThreads[i];
        if (thread == nullptr) {
            continue;
        }
        // Every wait of a service thread ends on PortStopEvent and every request it sends
        // has a time limit, so this wait ends too.
        (VOID) KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        Context->AbandonedPortThreads[i] = nullptr;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port %u late thread ended", i);
    }
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdPortsStop(WDFDEVICE Device, BOOLEAN WaitForever) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (context == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port shutdown without device context");
        return STATUS_UNSUCCESSFUL;
    }

    SignalPortStop(context);
    WaitForPortThreads(context, WaitForever);
    if (WaitForever) {
        SmdPortsAwaitAbandoned(context);
    }
    ReleaseNamedEvents(context);
    SetDeviceInterface(Device, VRAX_INTERFACE_DISABLE);
    ResetRouting();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "ports stopped, wait forever %!bool!",
                WaitForever);
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdPortsUnload() {
    PAGED_CODE();

    // The device, and with it every target, thread reference and lock, went before unload.
    RtlZeroMemory(SmdPortTable, sizeof(SmdPortTable));
    ResetReceiveHandoff();
    ForgetRouting();
    NewHwIdSupported = FALSE;
}
