// SMD channel control: the open, close and read-pending controls, each sent synchronously
// with a time limit on the port's target, and the creation of the port's three named
// synchronization events under "\BaseNamedObjects\".
#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>

#include <vrax/smd_channel.h>

#include "../driver/code_sections.h"
#include "smd_channel.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "smd_channel.tmh"
#endif

// Characters of a full event name buffer ("\BaseNamedObjects\" and the short name).
#define VRAX_FULL_EVENT_NAME_CHARS 256

static_assert(VRAX_EVENT_NAME_CHARS == SMD_EVENT_NAME_CHARS, "name fields match the request");

namespace {

// One of the port's three events: its short-name prefix and where the context keeps it.
struct PORT_EVENT_SLOT {
    PCWSTR Prefix;
    PWCHAR ShortName;
    PKEVENT* Event;
    PHANDLE Handle;
};

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SendControl(_In_ WDFIOTARGET Target, _In_ ULONG Code, _In_opt_ PVOID Input,
                _In_ ULONG InputLength, _In_ LONGLONG Timeout, _Out_opt_ PULONG_PTR Returned) {
    PAGED_CODE();

    WDF_MEMORY_DESCRIPTOR input;
    if (Input != nullptr) {
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&input, Input, InputLength);
    }
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, Timeout);
    ULONG_PTR returned = 0;
    NTSTATUS status = WdfIoTargetSendIoctlSynchronously(Target, WDF_NO_HANDLE, Code,
                                                        Input != nullptr ? &input : nullptr,
                                                        nullptr, &options, &returned);
    if (Returned != nullptr) {
        *Returned = NT_SUCCESS(status) ? returned : 0;
    }
    return status;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdOpenChannel(PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    PIOTARGET_SMD_PORT_CONTEXT context = Port->PortContext;
    if (context == nullptr || SmdPortCurrentTarget(Port) == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: channel open without a target",
                    Port->PortIndex);
        return STATUS_INVALID_DEVICE_STATE;
    }
    PORT_EVENT_SLOT slots[] = {
        {L"" SMD_READ_EVENT_PREFIX, context->ReadEventName, &context->ReadEvent,
         &context->ReadEventHandle},
        {L"" SMD_OPEN_EVENT_PREFIX, context->OpenEventName, &context->OpenEvent,
         &context->OpenEventHandle},
        {L"" SMD_CLOSE_EVENT_PREFIX, context->CloseEventName, &context->CloseEvent,
         &context->CloseEventHandle},
    };

    SMD_OPEN_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Reserved = SMD_OPEN_RESERVED;
    request.Version = SMD_OPEN_VERSION;
    request.BufferLength = SMD_OPEN_BUFFER_LENGTH;
    PWCHAR requestNames[] = {request.ReadEventName, request.OpenEventName, request.CloseEventName};
    for (ULONG i = 0; i < 3; ++i) {
        RtlZeroMemory(slots[i].ShortName, VRAX_EVENT_NAME_CHARS * sizeof(WCHAR));
        NTSTATUS status =
            RtlStringCbPrintfW(slots[i].ShortName, VRAX_EVENT_NAME_CHARS * sizeof(WCHAR), L"%s%d",
                               slots[i].Prefix, (int)Port->PortIndex);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: event name %u %!STATUS!",
                        Port->PortIndex, i, status);
            return status;
        }
        RtlCopyMemory(requestNames[i], slots[i].ShortName, VRAX_EVENT_NAME_CHARS * sizeof(WCHAR));
    }

    NTSTATUS status = SendControl(SmdPortCurrentTarget(Port), IOCTL_SMD_OPEN, &request,
                                  sizeof(request), VRAX_TIMEOUT_SMD_OPEN, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: open request failed %!STATUS!",
                    Port->PortIndex, status);
        return status;
    }

    // The SMD side created the events, not signalled, when it took the request: these
    // calls open them. Each is tried even when an earlier one failed.
    BOOLEAN missing = FALSE;
    for (ULONG i = 0; i < 3; ++i) {
        if (*slots[i].Event != nullptr) {
            continue;
        }
        WCHAR fullName[VRAX_FULL_EVENT_NAME_CHARS];
        RtlZeroMemory(fullName, sizeof(fullName));
        status = RtlStringCbPrintfW(fullName, sizeof(fullName), L"%s%s%d", L"" SMD_EVENT_DIRECTORY,
                                    slots[i].Prefix, (int)Port->PortIndex);
        HANDLE handle = nullptr;
        PKEVENT event = nullptr;
        if (NT_SUCCESS(status)) {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, fullName);
            event = IoCreateSynchronizationEvent(&name, &handle);
        }
        if (event == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: event %u not created",
                        Port->PortIndex, i);
            missing = TRUE;
            continue;
        }
        *slots[i].Event = event;
        *slots[i].Handle = handle;
    }
    if (missing) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdCloseChannel(PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    WDFIOTARGET target = SmdPortCurrentTarget(Port);
    if (target == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: close without a target",
                    Port->PortIndex);
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status =
        SendControl(target, IOCTL_SMD_CLOSE, nullptr, 0, VRAX_TIMEOUT_SMD_CONTROL, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: close request failed %!STATUS!",
                    Port->PortIndex, status);
    }
    return status;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ ULONG_PTR SmdQueryReadPending(PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    WDFIOTARGET target = SmdPortCurrentTarget(Port);
    if (target == nullptr) {
        return 0;
    }
    ULONG_PTR pending = 0;
    NTSTATUS status =
        SendControl(target, IOCTL_SMD_READ_PENDING, nullptr, 0, VRAX_TIMEOUT_SMD_CONTROL, &pending);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: read-pending request failed %!STATUS!",
                    Port->PortIndex, status);
        return 0;
    }
    return pending;
}
