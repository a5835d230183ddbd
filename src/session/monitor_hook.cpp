// The monitor hook: hands a frame's service message to the kernel clients it belongs to.
// Unicast messages (marker 0) go to the client whose key owns the client id; control
// responses (marker: the transaction id, never 0) go to the client that sent the request on
// that port, with the transaction id replaced by the client's own running number.
#include <ntddk.h>
#include <wdf.h>

#include "../ioctl/kernel_client.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_wire.h"
#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "monitor_hook.tmh"
#endif

// Callbacks run with KernelClientsLock held, in registration order; they may send, but not
// register or deregister.
_Use_decl_annotations_ VOID OfferToMonitors(ULONG OwnerKey, ULONG PortIndex, UCHAR ServiceType,
                                            UCHAR ClientId, UCHAR Flags, ULONG TransactionMarker,
                                            PUCHAR Message, ULONG Length) {
    const BOOLEAN response = (TransactionMarker & 0xFF) != 0;

    VRAX_WAIT_LOCK_HOLDER lock(KernelClientsLock);
    ULONG count = WdfCollectionGetCount(KernelClients);
    for (ULONG i = 0; i < count; ++i) {
        WDFOBJECT item = WdfCollectionGetItem(KernelClients, i);
        size_t size = 0;
        PVOID buffer =
            item != nullptr ? WdfMemoryGetBuffer(static_cast<WDFMEMORY>(item), &size) : nullptr;
        if (buffer == nullptr || size < sizeof(VRAX_KERNEL_CLIENT)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "monitor: kernel client %u unreadable", i);
            return;
        }
        PVRAX_KERNEL_CLIENT client = static_cast<PVRAX_KERNEL_CLIENT>(buffer);
        if (client->Key != OwnerKey) {
            continue;
        }
        if (response) {
            ULONG port = static_cast<ULONG>(InterlockedCompareExchange(&client->Port, 0, 0));
            if (port != PortIndex) {
                continue;
            }
            client->TransactionCounter = static_cast<UCHAR>(client->TransactionCounter + 1);
            // A message too short to have the byte keeps what it has.
            if (Length > VRAX_CONTROL_TRANSACTION_OFFSET) {
                Message[VRAX_CONTROL_TRANSACTION_OFFSET] = client->TransactionCounter;
            }
        }
        if (client->ReceiveCallback != nullptr) {
            client->ReceiveCallback(PortIndex, ServiceType, ClientId, Flags, Message, Length);
        }
    }
}
