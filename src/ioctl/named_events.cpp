// The named-event controls: a program has the driver open a notification event in
// \BaseNamedObjects by name (0x12420 through a narrow path, 0x12424 through a wide one) and
// release it by the handle value it was given (0x12428). The driver keeps one reference per
// event in the device context's 512-slot table; the port shutdown sets every event in it.
//
// The table is changed only here and by the port shutdown, which runs after the default
// queue has been purged; the controls run one at a time in the sequential default queue, so
// the table needs no lock.
//
// Names are wide characters ending with a NUL, which must lie within the bytes a control
// uses (256 for 0x12420, 512 for 0x12424); an unterminated name is refused rather than read
// past. The 8-byte output is written on every path that returns 8 bytes.
#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../vrax_pool.h"
#include "ioctl_controls.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "named_events.tmh"
#endif

// Bytes of the input an open control uses, and its pool buffers' size.
#define VRAX_EVENT_NAME_BYTES 256
#define VRAX_EVENT_NAME_WIDE_BYTES 512
// The handle value: a kernel handle widened to 64 bits with its sign.
#define VRAX_EVENT_HANDLE_SIZE 8

namespace {

// Whether the name ends with a wide NUL within the first Limit bytes of Input.
BOOLEAN NameTerminated(const UCHAR* Input, size_t Length, size_t Limit) {
    size_t used = Length < Limit ? Length : Limit;
    for (size_t i = 0; i + 1 < used; i += sizeof(WCHAR)) {
        if (Input[i] == 0 && Input[i + 1] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

LONG64 HandleValue(HANDLE Handle) {
    return (LONG64)(LONG_PTR)Handle;
}

VOID WriteHandleValue(PUCHAR Output, HANDLE Handle) {
    LONG64 value = HandleValue(Handle);
    RtlCopyMemory(Output, &value, VRAX_EVENT_HANDLE_SIZE);
}

// The name input and the 8-byte output of an open control. Retrieval failures are
// STATUS_INSUFFICIENT_RESOURCES; a short output or an unterminated name is refused.
NTSTATUS RetrieveOpenBuffers(WDFREQUEST Request, size_t Limit, PUCHAR* Input, size_t* InputLength,
                             PUCHAR* Output) {
    PVOID input = nullptr;
    PVOID output = nullptr;
    size_t outputLength = 0;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, InputLength)) ||
        !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 0, &output, &outputLength))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (outputLength < VRAX_EVENT_HANDLE_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: output of %Iu bytes", outputLength);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!NameTerminated(static_cast<PUCHAR>(input), *InputLength, Limit)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: name of %Iu bytes unterminated",
                    *InputLength);
        return STATUS_INVALID_PARAMETER;
    }
    *Input = static_cast<PUCHAR>(input);
    *Output = static_cast<PUCHAR>(output);
    return STATUS_SUCCESS;
}

// Opens or creates the event at Path and keeps it in the table, once per event object;
// writes its handle value to Output. The caller has checked that a slot is free.
VRAX_PAGED_CODE
NTSTATUS KeepNamedEvent(PVRAX_DEVICE_CONTEXT Context, PUNICODE_STRING Path, PUCHAR Output) {
    PAGED_CODE();

    HANDLE handle = nullptr;
    PKEVENT event = IoCreateNotificationEvent(Path, &handle);
    if (event == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: not opened (%u bytes)",
                    Path->Length);
        RtlZeroMemory(Output, VRAX_EVENT_HANDLE_SIZE);
        return STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; i < Context->NamedEventCount; ++i) {
        if (Context->NamedEvents[i] != nullptr && Context->NamedEvents[i] == event) {
            // Already kept: the program gets the first handle value again.
            NTSTATUS status = ZwClose(handle);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: ZwClose %!STATUS!", status);
            }
            WriteHandleValue(Output, Context->NamedEventHandles[i]);
            return STATUS_SUCCESS;
        }
    }
    ULONG slot = Context->NamedEventCount;
    ObReferenceObject(event);
    Context->NamedEvents[slot] = event;
    Context->NamedEventHandles[slot] = handle;
    Context->NamedEventCount = slot + 1;
    WriteHandleValue(Output, handle);
    return STATUS_SUCCESS;
}

}  // namespace

// 0x12420: the name is formatted into the narrow path "\BaseNamedObjects\<name>", which is
// then converted to a counted wide string.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID OpenEventControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                             size_t OutputBufferLength, size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    if (Context->NamedEventCount >= VRAX_NAMED_EVENT_SLOTS) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    PUCHAR input = nullptr;
    PUCHAR output = nullptr;
    size_t inputLength = 0;
    NTSTATUS status =
        RetrieveOpenBuffers(Request, VRAX_EVENT_NAME_BYTES, &input, &inputLength, &output);
    if (!NT_SUCCESS(status)) {
        VRAX_REFUSE(Request, status);
        return;
    }
    VRAX_POOL_BUFFER name(VRAX_EVENT_NAME_BYTES, VRAX_TAG_EVENT_PATH);
    VRAX_POOL_BUFFER path(VRAX_EVENT_NAME_BYTES, VRAX_TAG_EVENT_PATH);
    if (name.Buffer == nullptr || path.Buffer == nullptr) {
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    RtlZeroMemory(name.Buffer, VRAX_EVENT_NAME_BYTES);
    RtlZeroMemory(path.Buffer, VRAX_EVENT_NAME_BYTES);
    RtlCopyMemory(name.Buffer, input,
                  inputLength < VRAX_EVENT_NAME_BYTES ? inputLength : VRAX_EVENT_NAME_BYTES);
    status = RtlStringCbPrintfA(static_cast<PSTR>(path.Buffer), VRAX_EVENT_NAME_BYTES,
                                "\\BaseNamedObjects\\%ls", static_cast<PCWSTR>(name.Buffer));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: path not formatted %!STATUS!",
                    status);
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    ANSI_STRING narrow;
    RtlInitAnsiString(&narrow, static_cast<PCSZ>(path.Buffer));
    UNICODE_STRING wide;
    status = RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: path conversion %!STATUS!", status);
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    status = KeepNamedEvent(Context, &wide, output);
    RtlFreeUnicodeString(&wide);
    WdfRequestCompleteWithInformation(Request, status, VRAX_EVENT_HANDLE_SIZE);
}

// 0x12424: the name is formatted straight into the wide path; a name too long for the
// 256-character path is refused.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID OpenEventWideControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                                 size_t OutputBufferLength,
                                                 size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    if (Context->NamedEventCount >= VRAX_NAMED_EVENT_SLOTS) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    VRAX_POOL_BUFFER name(VRAX_EVENT_NAME_WIDE_BYTES, VRAX_TAG_EVENT_NAME);
    VRAX_POOL_BUFFER path(VRAX_EVENT_NAME_WIDE_BYTES, VRAX_TAG_EVENT_NAME);
    if (name.Buffer == nullptr || path.Buffer == nullptr) {
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    PUCHAR input = nullptr;
    PUCHAR output = nullptr;
    size_t inputLength = 0;
    NTSTATUS status =
        RetrieveOpenBuffers(Request, VRAX_EVENT_NAME_WIDE_BYTES, &input, &inputLength, &output);
    if (!NT_SUCCESS(status)) {
        VRAX_REFUSE(Request, status);
        return;
    }
    RtlZeroMemory(name.Buffer, VRAX_EVENT_NAME_WIDE_BYTES);
    RtlZeroMemory(path.Buffer, VRAX_EVENT_NAME_WIDE_BYTES);
    RtlCopyMemory(
        name.Buffer, input,
        inputLength < VRAX_EVENT_NAME_WIDE_BYTES ? inputLength : VRAX_EVENT_NAME_WIDE_BYTES);
    status = RtlStringCbPrintfW(static_cast<PWSTR>(path.Buffer), VRAX_EVENT_NAME_WIDE_BYTES,
                                L"\\BaseNamedObjects\\%ls", static_cast<PCWSTR>(name.Buffer));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open event: name of %Iu bytes too long",
                    inputLength);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, static_cast<PCWSTR>(path.Buffer));
    status = KeepNamedEvent(Context, &wide, output);
    WdfRequestCompleteWithInformation(Request, status, VRAX_EVENT_HANDLE_SIZE);
}

// 0x12428: releases the event kept under the handle value; the later slots move down.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID CloseEventControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                              size_t OutputBufferLength, size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);

    PVOID input = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (InputBufferLength < VRAX_EVENT_HANDLE_SIZE) {
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    LONG64 wanted;
    RtlCopyMemory(&wanted, input, VRAX_EVENT_HANDLE_SIZE);

    const ULONG count = Context->NamedEventCount;
    BOOLEAN found = FALSE;
    for (ULONG i = 0; i < count; ++i) {
        if (found) {
            Context->NamedEvents[i - 1] = Context->NamedEvents[i];
            Context->NamedEventHandles[i - 1] = Context->NamedEventHandles[i];
            continue;
        }
        if (Context->NamedEvents[i] == nullptr ||
            HandleValue(Context->NamedEventHandles[i]) != wanted) {
            continue;
        }
        NTSTATUS status = ZwClose(Context->NamedEventHandles[i]);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "close event %u: ZwClose %!STATUS!", i,
                        status);
        }
        ObDereferenceObject(Context->NamedEvents[i]);
        found = TRUE;
    }
    if (!found) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "close event: handle value not kept");
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    Context->NamedEvents[count - 1] = nullptr;
    Context->NamedEventHandles[count - 1] = nullptr;
    Context->NamedEventCount = count - 1;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}
