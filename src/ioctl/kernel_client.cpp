// The kernel client routines: other kernel-mode drivers register a receive callback and send
// control requests and service messages. A client is a framework memory object in
// KernelClients, known to the routing and transaction tables by a key from the same counter
// as session keys, so the monitor hook can hand it what is addressed to that key.
#include <ntddk.h>
#include <wdf.h>

#include "../protocol/control_requests.h"
#include "../protocol/routing.h"
#include "../session/session.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "kernel_client.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "kernel_client.tmh"
#endif

namespace {

// The record of a collection item; NULL when the item has no buffer of a record's size.
_IRQL_requires_max_(DISPATCH_LEVEL) PVRAX_KERNEL_CLIENT RecordOf(_In_ WDFOBJECT Item) {
    size_t size = 0;
    PVOID buffer = WdfMemoryGetBuffer(static_cast<WDFMEMORY>(Item), &size);
    if (buffer == nullptr || size < sizeof(VRAX_KERNEL_CLIENT)) {
        return nullptr;
    }
    return static_cast<PVRAX_KERNEL_CLIENT>(buffer);
}

// Whether Handle is one of the registered clients. The caller holds KernelClientsLock.
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN IsRegistered(_In_ VRAX_KERNEL_CLIENT_HANDLE Handle) {
    ULONG count = WdfCollectionGetCount(KernelClients);
    for (ULONG i = 0; i < count; ++i) {
        if (WdfCollectionGetItem(KernelClients, i) == static_cast<WDFOBJECT>(Handle)) {
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace

_Use_decl_annotations_ LONG NTAPI
KernelClientRegister(PVRAX_KERNEL_RECEIVE_CALLBACK ReceiveCallback, PVOID Reserved1,
                     PVOID Reserved2, VRAX_KERNEL_CLIENT_HANDLE* ClientHandle, PVOID Reserved3) {
    UNREFERENCED_PARAMETER(Reserved1);
    UNREFERENCED_PARAMETER(Reserved2);
    UNREFERENCED_PARAMETER(Reserved3);

    if (ClientHandle == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client register without handle");
        return -1;
    }
    *ClientHandle = nullptr;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = KernelClients;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    NTSTATUS status = WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_KERNEL_CLIENT,
                                      VRAX_KERNEL_CLIENT_RECORD_SIZE, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client record %!STATUS!", status);
        return -1;
    }
    RtlZeroMemory(buffer, VRAX_KERNEL_CLIENT_RECORD_SIZE);
    PVRAX_KERNEL_CLIENT record = static_cast<PVRAX_KERNEL_CLIENT>(buffer);

    WdfWaitLockAcquire(KernelClientsLock, nullptr);
    record->Key = DrawSessionKey();
    record->ReceiveCallback = ReceiveCallback;
    record->TransactionCounter = 0;
    *ClientHandle = memory;
    status = WdfCollectionAdd(KernelClients, memory);
    WdfWaitLockRelease(KernelClientsLock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client key 0x%x not listed %!STATUS!",
                    record->Key, status);
        WdfObjectDelete(memory);
        *ClientHandle = nullptr;
        return -1;
    }
    return 0;
}

// Removes every record with the handle's key. The handle is looked up among the registered
// clients first, so a handle deregistered already (or never handed out) is refused rather
// than read after its record was freed.
_Use_decl_annotations_ LONG NTAPI KernelClientDeregister(VRAX_KERNEL_CLIENT_HANDLE ClientHandle) {
    VRAX_WAIT_LOCK_HOLDER lock(KernelClientsLock);
    if (ClientHandle == nullptr || !IsRegistered(ClientHandle)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client %p is not registered",
                    ClientHandle);
        return -1;
    }
    PVRAX_KERNEL_CLIENT own = RecordOf(static_cast<WDFOBJECT>(ClientHandle));
    if (own == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client %p has no record", ClientHandle);
        return -1;
    }
    const ULONG key = own->Key;

    ULONG i = 0;
    while (i < WdfCollectionGetCount(KernelClients)) {
        WDFOBJECT item = WdfCollectionGetItem(KernelClients, i);
        PVRAX_KERNEL_CLIENT record = item != nullptr ? RecordOf(item) : nullptr;
        if (record == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel clients: item %u unreadable", i);
            return -1;
        }
        if (record->Key != key) {
            ++i;
            continue;
        }
        // The next item moves into position i.
        WdfCollectionRemove(KernelClients, item);
        WdfObjectDelete(item);
    }
    return 0;
}

_Use_decl_annotations_ LONG NTAPI KernelClientSendControl(VRAX_KERNEL_CLIENT_HANDLE ClientHandle,
                                                          ULONG PortIndex, PUCHAR ControlMessage,
                                                          ULONG MessageLength) {
    if (ClientHandle == nullptr || ControlMessage == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel control: handle %p message %p",
                    ClientHandle, ControlMessage);
        return -1;
    }
    // The control header must be there; and a message a frame cannot carry is refused before
    // its length is used for an allocation.
    if (MessageLength < VRAX_CONTROL_HEADER_SIZE || MessageLength > VRAX_MESSAGE_MAX_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel control of %u bytes refused",
                    MessageLength);
        return -1;
    }
    PVRAX_KERNEL_CLIENT record = RecordOf(static_cast<WDFOBJECT>(ClientHandle));
    if (record == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel control: %p has no record",
                    ClientHandle);
        return -1;
    }
    InterlockedExchange(&record->Port, static_cast<LONG>(PortIndex));

    // The TLVs go behind room for the frame and control headers.
    const ULONG tlvLength = MessageLength - VRAX_CONTROL_HEADER_SIZE;
    const ULONG size = tlvLength + VRAX_CONTROL_TLV_HEADROOM;
    VRAX_POOL_BUFFER buffer(size, VRAX_TAG_SEND);
    if (buffer.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel control: no buffer of %u bytes", size);
        return -1;
    }
    PUCHAR bytes = static_cast<PUCHAR>(buffer.Buffer);
    RtlZeroMemory(bytes, size);
    RtlCopyMemory(bytes + VRAX_CONTROL_TLV_HEADROOM, ControlMessage + VRAX_CONTROL_HEADER_SIZE,
                  tlvLength);

    VRAX_CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VRAX_REQUEST_KIND_CLIENT_ID;
    request.SessionKey = record->Key;
    request.Tag = 0;
    request.PortIndex = PortIndex;
    request.ServiceType = VRAX_SERVICE_CONTROL;
    request.ClientId = 0;

    // The caller's transaction id and length are not used: the request gets its own id, and
    // the monitor hook renumbers the answer for the client.
    int result = SendControlRequest(&request, ControlMessage[VRAX_CONTROL_MESSAGE_ID_OFFSET],
                                    bytes + VRAX_CONTROL_TLV_HEADROOM, tlvLength, TRUE);
    if (result < 0) {
        // Not reported to the caller: the answer simply never comes.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel control 0x%x on port %u: result %d",
                    ControlMessage[VRAX_CONTROL_MESSAGE_ID_OFFSET], PortIndex, result);
    }
    return 0;
}

_Use_decl_annotations_ LONG NTAPI KernelClientSendMessage(PVOID Reserved, ULONG PortIndex,
                                                          ULONG ServiceType, ULONG ClientId,
                                                          PUCHAR Message, ULONG MessageLength) {
    UNREFERENCED_PARAMETER(Reserved);

    // A service type or client id that does not fit the frame's byte would reach another
    // service or client; a message longer than a frame carries would overflow the size.
    if (ServiceType > 0xFF || ClientId > 0xFF || (Message == nullptr && MessageLength != 0) ||
        MessageLength > VRAX_MESSAGE_MAX_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "kernel message to service %u client %u (%u bytes) refused", ServiceType,
                    ClientId, MessageLength);
        return -1;
    }
    const ULONG size = MessageLength + VRAX_SERVICE_MESSAGE_HEADROOM;
    VRAX_POOL_BUFFER buffer(size, VRAX_TAG_SEND);
    if (buffer.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel message: no buffer of %u bytes", size);
        return -1;
    }
    PUCHAR bytes = static_cast<PUCHAR>(buffer.Buffer);
    RtlZeroMemory(bytes, size);
    if (MessageLength != 0) {
        RtlCopyMemory(bytes + VRAX_SERVICE_MESSAGE_HEADROOM, Message, MessageLength);
    }
    int result =
        SendServiceMessage(PortIndex, static_cast<UCHAR>(ServiceType), static_cast<UCHAR>(ClientId),
                           bytes + VRAX_SERVICE_MESSAGE_HEADROOM, MessageLength);
    if (result < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "kernel message to port %u service %u client %u: result %d", PortIndex,
                    ServiceType, ClientId, result);
        return -1;
    }
    return 0;
}
