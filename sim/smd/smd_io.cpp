// Reads and writes of a channel, and the far end's entry points into the driver: a chunk
// queued for reading, the far end opening or closing a port.
//
// A read is answered with the oldest chunk, cut to the reader's buffer when longer (the rest
// of that chunk is dropped: a chunk is one message). A read that finds none waits in the read
// queue until a chunk arrives, the channel closes, or its sender cancels it.
#include <algorithm>
#include <cstring>

#include "smd_driver.h"
#include "smd_hw.h"

namespace far_end = smd::far_end;

namespace {

// Hands Chunk to Read, honouring a byte-count fault.
VOID SmdDeliver(WDFREQUEST Read, const std::vector<std::uint8_t>& Chunk,
                const std::optional<far_end::fault>& Fault) {
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Read, 1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Read, status);
        return;
    }
    size_t copied = std::min(length, Chunk.size());
    RtlCopyMemory(buffer, Chunk.data(), copied);
    size_t reported = copied;
    if (Fault && Fault->what == far_end::fault::kind::byte_count)
        reported = std::min<size_t>(Fault->bytes, length);
    WdfRequestCompleteWithInformation(Read, STATUS_SUCCESS, reported);
}

// What one step of settling found to do.
struct settle_step {
    WDFREQUEST read = nullptr;
    NTSTATUS fail = STATUS_SUCCESS;  // complete `read` with this when not a success
    bool has_chunk = false;
    std::vector<std::uint8_t> chunk;
    ULONG port = 0;
};

// Under the lock: takes the next waiting read of Channel together with what it gets.
settle_step SmdNextSettleStep(PSMD_CHANNEL_CONTEXT Channel) {
    settle_step step;
    PSMD_DEVICE_CONTEXT device = Channel->Device;
    WdfSpinLockAcquire(device->Lock);
    const bool closed = !Channel->Bound || Channel->FarClosed;
    if (closed || !Channel->Chunks.empty()) {
        WDFREQUEST read = nullptr;
        if (NT_SUCCESS(
                WdfIoQueueRetrieveRequestByFileObject(device->ReadQueue, Channel->File, &read))) {
            step.read = read;
            step.port = Channel->Port;
            if (!Channel->Bound) {
                step.fail = STATUS_CANCELLED;
            } else if (Channel->FarClosed) {
                step.fail = STATUS_PORT_DISCONNECTED;
            } else {
                step.has_chunk = true;
                step.chunk = std::move(Channel->Chunks.front());
                Channel->Chunks.pop_front();
                Channel->QueuedBytes -= step.chunk.size();
            }
        }
    }
    WdfSpinLockRelease(device->Lock);
    return step;
}

// Puts a chunk a faulty read did not take back at the head of the channel's queue.
VOID SmdReturnChunk(PSMD_CHANNEL_CONTEXT Channel, std::vector<std::uint8_t> Chunk) {
    PSMD_DEVICE_CONTEXT device = Channel->Device;
    WdfSpinLockAcquire(device->Lock);
    if (Channel->Bound && !Channel->FarClosed) {
        Channel->QueuedBytes += Chunk.size();
        Channel->Chunks.push_front(std::move(Chunk));
    }
    WdfSpinLockRelease(device->Lock);
}

// The channel bound to Port with a reference on its file object, or null. Under no lock.
PSMD_CHANNEL_CONTEXT SmdReferenceBound(PSMD_DEVICE_CONTEXT Device, ULONG Port) {
    PSMD_CHANNEL_CONTEXT channel = nullptr;
    WdfSpinLockAcquire(Device->Lock);
    PSMD_CHANNEL_CONTEXT found = Device->Ports[Port];
    if (found != nullptr && found->Bound) {
        channel = found;
        WdfObjectReference(channel->File);
    }
    WdfSpinLockRelease(Device->Lock);
    return channel;
}

}  // namespace

_Use_decl_annotations_ VOID SmdSettleReads(PSMD_CHANNEL_CONTEXT Channel) {
    for (;;) {
        settle_step step = SmdNextSettleStep(Channel);
        if (step.read == nullptr)
            return;
        if (!NT_SUCCESS(step.fail)) {
            WdfRequestComplete(step.read, step.fail);
            continue;
        }
        std::optional<far_end::fault> fault = smd::hw::take_fault(step.port, far_end::target::read);
        if (fault && fault->what == far_end::fault::kind::fail) {
            SmdReturnChunk(Channel, std::move(step.chunk));
            WdfRequestComplete(step.read, fault->status);
            continue;
        }
        if (fault && fault->what == far_end::fault::kind::never_complete) {
            SmdReturnChunk(Channel, std::move(step.chunk));
            SmdHoldRequest(Channel->Device, step.read);
            continue;
        }
        SmdDeliver(step.read, step.chunk, fault);
    }
}

_Use_decl_annotations_ VOID SmdHoldRequest(PSMD_DEVICE_CONTEXT Device, WDFREQUEST Request) {
    NTSTATUS status = WdfRequestForwardToIoQueue(Request, Device->HeldQueue);
    if (!NT_SUCCESS(status))
        WdfRequestComplete(Request, status);  // the device is going: its queues refuse
}

_Use_decl_annotations_ VOID SmdEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    UNREFERENCED_PARAMETER(Length);
    PSMD_DEVICE_CONTEXT device = SmdGetDevice(WdfIoQueueGetDevice(Queue));
    PSMD_CHANNEL_CONTEXT channel = SmdGetChannel(WdfRequestGetFileObject(Request));
    WdfSpinLockAcquire(device->Lock);
    NTSTATUS status = STATUS_SUCCESS;
    if (!channel->Bound)
        status = STATUS_INVALID_DEVICE_STATE;
    else if (channel->FarClosed)
        status = STATUS_PORT_DISCONNECTED;
    WdfSpinLockRelease(device->Lock);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    // Every read waits in the read queue, in order; settling hands out what is there. Once
    // forwarded, the read may complete (and its handle close) at any moment: the reference
    // keeps the channel until settling is done.
    WDFFILEOBJECT file = channel->File;
    WdfObjectReference(file);
    status = WdfRequestForwardToIoQueue(Request, device->ReadQueue);
    if (NT_SUCCESS(status))
        SmdSettleReads(channel);
    else
        WdfRequestComplete(Request, status);
    WdfObjectDereference(file);
}

_Use_decl_annotations_ VOID SmdEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PSMD_DEVICE_CONTEXT device = SmdGetDevice(WdfIoQueueGetDevice(Queue));
    PSMD_CHANNEL_CONTEXT channel = SmdGetChannel(WdfRequestGetFileObject(Request));
    WdfSpinLockAcquire(device->Lock);
    NTSTATUS status = STATUS_SUCCESS;
    if (!channel->Bound)
        status = STATUS_INVALID_DEVICE_STATE;
    else if (!channel->OpenSignalled || channel->FarClosed)
        status = STATUS_PORT_DISCONNECTED;  // the far end does not have the channel open
    const ULONG port = channel->Port;
    WdfSpinLockRelease(device->Lock);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    if (std::optional<far_end::fault> fault = smd::hw::take_fault(port, far_end::target::write)) {
        if (fault->what == far_end::fault::kind::never_complete) {
            SmdHoldRequest(device, Request);
            return;
        }
        if (fault->what == far_end::fault::kind::fail) {
            WdfRequestComplete(Request, fault->status);
            return;
        }
    }
    PVOID buffer = nullptr;
    size_t length = 0;
    status = WdfRequestRetrieveInputBuffer(Request, Length, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    smd::hw::frame_written(port, {static_cast<const std::uint8_t*>(buffer), length});
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, length);
}

// ---- Far end to driver
// --------------------------------------------------------------------------------

NTSTATUS SmdHwQueueChunk(PSMD_DEVICE_CONTEXT Device, ULONG Port, std::vector<std::uint8_t> Bytes,
                         const std::function<void()>& AtQueue) {
    PSMD_CHANNEL_CONTEXT channel = SmdReferenceBound(Device, Port);
    if (channel == nullptr) {
        AtQueue();
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    WdfSpinLockAcquire(Device->Lock);
    AtQueue();
    // A channel bound after the far end closed the port is not open at the far end until it
    // opens the port again: its chunks are refused as the closed channel's were.
    if (!channel->Bound || channel->FarClosed ||
        (!channel->OpenSignalled && smd::hw::far_end_closed(Port))) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        channel->QueuedBytes += Bytes.size();
        channel->Chunks.push_back(std::move(Bytes));
    }
    WdfSpinLockRelease(Device->Lock);
    if (NT_SUCCESS(status)) {
        SmdSignalEvent(channel, SmdReadEvent);
        SmdSettleReads(channel);
    }
    WdfObjectDereference(channel->File);
    return status;
}

NTSTATUS SmdHwFarOpen(PSMD_DEVICE_CONTEXT Device, ULONG Port) {
    PSMD_CHANNEL_CONTEXT channel = SmdReferenceBound(Device, Port);
    if (channel == nullptr)
        return STATUS_SUCCESS;  // met when a channel binds the port
    bool signal = false;
    WdfSpinLockAcquire(Device->Lock);
    if (channel->Bound && !channel->OpenSignalled && !channel->FarClosed) {
        channel->OpenSignalled = true;
        signal = true;
    }
    WdfSpinLockRelease(Device->Lock);
    if (signal)
        SmdSignalEvent(channel, SmdOpenEvent);
    WdfObjectDereference(channel->File);
    return STATUS_SUCCESS;
}

NTSTATUS SmdHwFarClose(PSMD_DEVICE_CONTEXT Device, ULONG Port) {
    PSMD_CHANNEL_CONTEXT channel = SmdReferenceBound(Device, Port);
    if (channel == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    bool signal = false;
    WdfSpinLockAcquire(Device->Lock);
    if (channel->Bound && !channel->FarClosed) {
        channel->FarClosed = true;
        channel->Chunks.clear();
        channel->QueuedBytes = 0;
        signal = true;
    }
    WdfSpinLockRelease(Device->Lock);
    if (signal) {
        SmdSignalEvent(channel, SmdCloseEvent);
        SmdSettleReads(channel);  // waiting reads fail: the channel is gone
    }
    WdfObjectDereference(channel->File);
    return signal ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}
