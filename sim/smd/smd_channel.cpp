// Channels: one per handle. The three controls (open, close, read-pending), the checks an open
// request must pass, the named events a bound channel holds, and what closing the handle
// undoes.
#include <cstring>
#include <new>
#include <string>

#include "smd_driver.h"
#include "smd_hw.h"

namespace far_end = smd::far_end;

namespace {

// ---- The open request ---------------------------------------------------------------------------

// One name field: its text up to the terminator, and whether there was one.
struct name_field {
    std::u16string text;
    bool terminated = false;
};

name_field read_name(const WCHAR (&field)[SMD_EVENT_NAME_CHARS]) {
    name_field n;
    for (ULONG i = 0; i < SMD_EVENT_NAME_CHARS; ++i) {
        if (field[i] == 0) {
            n.terminated = true;
            return n;
        }
        n.text.push_back(static_cast<char16_t>(field[i]));
    }
    return n;
}

// The port index a name carries after `prefix`: decimal, no sign, no leading zero, 0..28.
bool port_of_name(const name_field& name, const char* prefix, ULONG* port) {
    const size_t prefix_length = std::strlen(prefix);
    if (!name.terminated || name.text.size() <= prefix_length)
        return false;
    for (size_t i = 0; i < prefix_length; ++i) {
        if (name.text[i] != static_cast<char16_t>(prefix[i]))
            return false;
    }
    const std::u16string digits = name.text.substr(prefix_length);
    if (digits.size() > 2 || (digits.size() > 1 && digits[0] == u'0'))
        return false;
    ULONG value = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + static_cast<ULONG>(c - u'0');
    }
    if (value >= SMD_PORT_COUNT)
        return false;
    *port = value;
    return true;
}

// Decodes and checks the open request in Request's input buffer. Fills Record (for the far
// end's log) and, on success, Port.
NTSTATUS SmdCheckOpenRequest(WDFREQUEST Request, far_end::open_request* Record, ULONG* Port) {
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status =
        WdfRequestRetrieveInputBuffer(Request, sizeof(SMD_OPEN_REQUEST), &buffer, &length);
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    Record->input_length =
        static_cast<ULONG>(parameters.Parameters.DeviceIoControl.InputBufferLength);
    if (!NT_SUCCESS(status))
        return status;  // STATUS_BUFFER_TOO_SMALL for a short (or missing) buffer

    // The system buffer need not be aligned for the structure: copy it out.
    SMD_OPEN_REQUEST open;
    RtlCopyMemory(&open, buffer, sizeof(open));
    const name_field names[SmdEventCount] = {read_name(open.ReadEventName),
                                             read_name(open.OpenEventName),
                                             read_name(open.CloseEventName)};
    Record->read_event = names[SmdReadEvent].text;
    Record->open_event = names[SmdOpenEvent].text;
    Record->close_event = names[SmdCloseEvent].text;
    if (open.Reserved != SMD_OPEN_RESERVED || open.Version != SMD_OPEN_VERSION ||
        open.BufferLength != SMD_OPEN_BUFFER_LENGTH)
        return STATUS_INVALID_PARAMETER;

    const char* const prefixes[SmdEventCount] = {SMD_READ_EVENT_PREFIX, SMD_OPEN_EVENT_PREFIX,
                                                 SMD_CLOSE_EVENT_PREFIX};
    ULONG ports[SmdEventCount] = {};
    for (int i = 0; i < SmdEventCount; ++i) {
        if (!port_of_name(names[i], prefixes[i], &ports[i]))
            return STATUS_INVALID_PARAMETER;
    }
    if (ports[SmdOpenEvent] != ports[SmdReadEvent] || ports[SmdCloseEvent] != ports[SmdReadEvent])
        return STATUS_INVALID_PARAMETER;
    *Port = ports[SmdReadEvent];
    Record->port = *Port;
    return STATUS_SUCCESS;
}

// ---- The channel's events
// ------------------------------------------------------------------------

struct channel_events {
    PKEVENT events[SmdEventCount] = {};
    HANDLE handles[SmdEventCount] = {};
};

VOID SmdReleaseEvents(channel_events& held) {
    for (int i = 0; i < SmdEventCount; ++i) {
        if (held.events[i] != nullptr)
            ObDereferenceObject(held.events[i]);
        if (held.handles[i] != nullptr)
            ZwClose(held.handles[i]);
        held.events[i] = nullptr;
        held.handles[i] = nullptr;
    }
}

// Creates or opens the three events of Port by their full names, not signalled: an event
// that already exists (the client still holds it from an earlier channel) is cleared, so a
// stale signal cannot end the new channel at once.
NTSTATUS SmdCreateEvents(const far_end::open_request& Record, channel_events* Out) {
    const std::u16string* names[SmdEventCount] = {&Record.read_event, &Record.open_event,
                                                  &Record.close_event};
    for (int i = 0; i < SmdEventCount; ++i) {
        std::u16string full = std::u16string(u"" SMD_EVENT_DIRECTORY) + *names[i];
        UNICODE_STRING name;
        name.Buffer = full.data();
        name.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_OPENIF, nullptr,
                                   nullptr);
        NTSTATUS status = ZwCreateEvent(&Out->handles[i], EVENT_ALL_ACCESS, &attributes,
                                        SynchronizationEvent, FALSE);
        if (!NT_SUCCESS(status)) {
            Out->handles[i] = nullptr;
            SmdReleaseEvents(*Out);
            return status;
        }
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(Out->handles[i], EVENT_MODIFY_STATE, *ExEventObjectType,
                                           KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status)) {
            SmdReleaseEvents(*Out);
            return status;
        }
        Out->events[i] = static_cast<PKEVENT>(object);
        KeClearEvent(Out->events[i]);
    }
    return STATUS_SUCCESS;
}

// Unbinds Channel (under the lock) and hands back what it held. FALSE when it was not bound.
BOOLEAN SmdUnbind(PSMD_CHANNEL_CONTEXT Channel, ULONG* Port, channel_events* Held) {
    PSMD_DEVICE_CONTEXT device = Channel->Device;
    WdfSpinLockAcquire(device->Lock);
    if (!Channel->Bound) {
        WdfSpinLockRelease(device->Lock);
        return FALSE;
    }
    *Port = Channel->Port;
    Channel->Bound = false;
    if (device->Ports[Channel->Port] == Channel)
        device->Ports[Channel->Port] = nullptr;
    for (int i = 0; i < SmdEventCount; ++i) {
        Held->events[i] = Channel->Events[i];
        Held->handles[i] = Channel->Handles[i];
        Channel->Events[i] = nullptr;
        Channel->Handles[i] = nullptr;
    }
    Channel->Chunks.clear();
    Channel->QueuedBytes = 0;
    WdfSpinLockRelease(device->Lock);
    return TRUE;
}

// ---- The three controls
// -----------------------------------------------------------------------------

// A fault armed for this control: TRUE when it takes the request, with *Status the answer
// (STATUS_PENDING: held). The caller records the request, then calls SmdFinishFaulted.
BOOLEAN SmdControlFault(ULONG Port, far_end::target Target, NTSTATUS* Status) {
    std::optional<far_end::fault> fault = smd::hw::take_fault(Port, Target);
    if (!fault || fault->what == far_end::fault::kind::byte_count)
        return FALSE;
    *Status = fault->what == far_end::fault::kind::never_complete ? STATUS_PENDING : fault->status;
    return TRUE;
}

VOID SmdFinishFaulted(PSMD_DEVICE_CONTEXT Device, WDFREQUEST Request, NTSTATUS Status) {
    if (Status == STATUS_PENDING)
        SmdHoldRequest(Device, Request);
    else
        WdfRequestComplete(Request, Status);
}

VOID SmdOpen(PSMD_DEVICE_CONTEXT Device, PSMD_CHANNEL_CONTEXT Channel, WDFREQUEST Request) {
    far_end::open_request record;
    ULONG port = 0;
    NTSTATUS status = SmdCheckOpenRequest(Request, &record, &port);
    if (!NT_SUCCESS(status)) {
        record.status = status;
        smd::hw::open_request_seen(record);
        WdfRequestComplete(Request, status);
        return;
    }
    if (SmdControlFault(port, far_end::target::open, &record.status)) {
        smd::hw::open_request_seen(record);
        SmdFinishFaulted(Device, Request, record.status);
        return;
    }

    // Reserve the port, create the events outside the lock, then bind.
    bool reserved = false;
    WdfSpinLockAcquire(Device->Lock);
    if (Channel->Bound || Channel->Opening) {
        status = STATUS_INVALID_DEVICE_STATE;  // one channel per handle
    } else if (Device->Ports[port] != nullptr) {
        status = STATUS_SHARING_VIOLATION;  // another handle has the port
    } else {
        Device->Ports[port] = Channel;
        Channel->Opening = true;
        Channel->Port = port;
        reserved = true;
    }
    WdfSpinLockRelease(Device->Lock);
    channel_events created;
    if (reserved)
        status = SmdCreateEvents(record, &created);

    if (reserved) {
        WdfSpinLockAcquire(Device->Lock);
        Channel->Opening = false;
        if (NT_SUCCESS(status) && Channel->CleanedUp)
            status = STATUS_CANCELLED;  // the handle closed while the events were made
        if (NT_SUCCESS(status)) {
            Channel->Bound = true;
            Channel->OpenSignalled = false;
            Channel->FarClosed = false;
            for (int i = 0; i < SmdEventCount; ++i) {
                Channel->Events[i] = created.events[i];
                Channel->Handles[i] = created.handles[i];
            }
        } else {
            Device->Ports[port] = nullptr;
        }
        WdfSpinLockRelease(Device->Lock);
        if (!NT_SUCCESS(status))
            SmdReleaseEvents(created);
    }

    record.status = status;
    smd::hw::open_request_seen(record);
    // A far end that opened the port first is met at once.
    if (NT_SUCCESS(status) && smd::hw::far_end_open(port))
        SmdHwFarOpen(Device, port);
    WdfRequestComplete(Request, status);
}

VOID SmdClose(PSMD_DEVICE_CONTEXT Device, PSMD_CHANNEL_CONTEXT Channel, WDFREQUEST Request) {
    far_end::close_request record;
    WdfSpinLockAcquire(Device->Lock);
    if (Channel->Bound)
        record.port = Channel->Port;
    WdfSpinLockRelease(Device->Lock);
    if (!record.port) {
        record.status = STATUS_INVALID_DEVICE_STATE;
        smd::hw::close_request_seen(record);
        WdfRequestComplete(Request, record.status);
        return;
    }
    if (SmdControlFault(*record.port, far_end::target::close, &record.status)) {
        smd::hw::close_request_seen(record);
        SmdFinishFaulted(Device, Request, record.status);
        return;
    }
    ULONG port = 0;
    channel_events held;
    record.status = SmdUnbind(Channel, &port, &held) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    SmdReleaseEvents(held);
    SmdSettleReads(Channel);  // reads still waiting end now
    smd::hw::close_request_seen(record);
    WdfRequestComplete(Request, record.status);
}

VOID SmdReadPending(PSMD_DEVICE_CONTEXT Device, PSMD_CHANNEL_CONTEXT Channel, WDFREQUEST Request,
                    size_t OutputBufferLength) {
    WdfSpinLockAcquire(Device->Lock);
    const bool bound = Channel->Bound;
    const ULONG port = Channel->Port;
    size_t queued = Channel->QueuedBytes;
    WdfSpinLockRelease(Device->Lock);
    if (!bound) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    // A pending count on demand (the SMD side may report data it never hands out), else
    // a failed or held query.
    std::optional<far_end::fault> fault = smd::hw::take_fault(port, far_end::target::read_pending);
    if (fault && fault->what == far_end::fault::kind::byte_count) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, fault->bytes);
        return;
    }
    if (fault) {
        SmdFinishFaulted(
            Device, Request,
            fault->what == far_end::fault::kind::never_complete ? STATUS_PENDING : fault->status);
        return;
    }
    // The answer is the information value. A caller that passes an output buffer anyway is
    // answered at most its length (more would overrun it), still non-zero while bytes wait.
    if (OutputBufferLength != 0 && queued > OutputBufferLength)
        queued = OutputBufferLength;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, queued);
}

}  // namespace

// ---- File objects
// ------------------------------------------------------------------------------------

_Use_decl_annotations_ VOID SmdEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request,
                                                   WDFFILEOBJECT FileObject) {
    PSMD_CHANNEL_CONTEXT channel = new (SmdGetChannel(FileObject)) SMD_CHANNEL_CONTEXT();
    channel->File = FileObject;
    channel->Device = SmdGetDevice(Device);
    channel->Constructed = true;
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

// The handle is closing: a bound channel closes as IOCTL_SMD_CLOSE would close it (the
// framework cancels the handle's requests still waiting in the queues).
_Use_decl_annotations_ VOID SmdEvtFileCleanup(WDFFILEOBJECT FileObject) {
    PSMD_CHANNEL_CONTEXT channel = SmdGetChannel(FileObject);
    if (!channel->Constructed)
        return;
    WdfSpinLockAcquire(channel->Device->Lock);
    channel->CleanedUp = true;
    WdfSpinLockRelease(channel->Device->Lock);
    ULONG port = 0;
    channel_events held;
    if (SmdUnbind(channel, &port, &held))
        SmdReleaseEvents(held);
    SmdSettleReads(channel);
}

_Use_decl_annotations_ VOID SmdEvtChannelDestroy(WDFOBJECT Object) {
    PSMD_CHANNEL_CONTEXT channel = SmdGetChannel(Object);
    if (channel->Constructed)
        channel->~SMD_CHANNEL_CONTEXT();
}

_Use_decl_annotations_ VOID SmdEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                                  size_t OutputBufferLength,
                                                  size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(InputBufferLength);
    PSMD_DEVICE_CONTEXT device = SmdGetDevice(WdfIoQueueGetDevice(Queue));
    PSMD_CHANNEL_CONTEXT channel = SmdGetChannel(WdfRequestGetFileObject(Request));
    switch (IoControlCode) {
        case IOCTL_SMD_OPEN:
            SmdOpen(device, channel, Request);
            return;
        case IOCTL_SMD_CLOSE:
            SmdClose(device, channel, Request);
            return;
        case IOCTL_SMD_READ_PENDING:
            SmdReadPending(device, channel, Request, OutputBufferLength);
            return;
        default:
            WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
            return;
    }
}

// ---- Events
// ---------------------------------------------------------------------------------------------

_Use_decl_annotations_ VOID SmdSignalEvent(PSMD_CHANNEL_CONTEXT Channel, SMD_EVENT_INDEX Which) {
    PSMD_DEVICE_CONTEXT device = Channel->Device;
    PKEVENT event = nullptr;
    WdfSpinLockAcquire(device->Lock);
    if (Channel->Bound && Channel->Events[Which] != nullptr) {
        event = Channel->Events[Which];
        ObReferenceObject(event);  // a close may release the channel's own reference meanwhile
    }
    WdfSpinLockRelease(device->Lock);
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(event);
    }
}
