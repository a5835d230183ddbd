// Framework memory objects and their bounds-checked copies.
#include "wdf/fx_memory.h"

#include <cstring>

#include "core/faults.h"
#include "core/scheduler.h"
#include "wdf/fx_driver.h"

namespace platform::wdf {

fx_memory::~fx_memory() {
    if (owns_buffer && buffer != nullptr)
        ExFreePoolWithTag(buffer, tag);
}

NTSTATUS fx_memory::check_range(size_t offset, size_t length, NTSTATUS too_small) const {
    if (offset != 0 && offset >= size)
        return too_small;
    if (length > size - offset)
        return too_small;
    return STATUS_SUCCESS;
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
    if (auto st = faults::fault_point("WdfMemoryCreate"))
        return *st;
    if (Memory == nullptr)
        violation("WdfMemoryCreate: Memory is NULL");
    *Memory = nullptr;
    if (Buffer != nullptr)
        *Buffer = nullptr;
    if (BufferSize == 0)
        return STATUS_INVALID_PARAMETER;
    std::uint8_t irql = scheduler::get().current().irql;
    bool paged = (PoolType & 1) != 0;  // PagedPool and its variants are odd
    if (irql > (paged ? APC_LEVEL : DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = validate_attributes(Attributes, attr_none);
    if (!NT_SUCCESS(status))
        return status;
    if (PoolTag == 0) {
        fx_driver* driver = fx_driver::current();
        PoolTag = driver != nullptr ? driver->config.DriverPoolTag : 0x6D4D7846;  // "FxMm"
    }
    void* bytes = ExAllocatePoolWithTag(PoolType, BufferSize, PoolTag);
    if (bytes == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* memory = new fx_memory;
    memory->buffer = bytes;
    memory->size = BufferSize;
    memory->owns_buffer = true;
    memory->tag = PoolTag;
    status = memory->commit(Attributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(memory);
        return status;
    }
    *Memory = memory->handle_as<WDFMEMORY>();
    if (Buffer != nullptr)
        *Buffer = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     size_t BufferSize, WDFMEMORY* Memory) {
    if (auto st = faults::fault_point("WdfMemoryCreatePreallocated"))
        return *st;
    if (Memory == nullptr || Buffer == nullptr) {
        violation("WdfMemoryCreatePreallocated: NULL parameter");
    }
    *Memory = nullptr;
    if (BufferSize == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = validate_attributes(Attributes, attr_none);
    if (!NT_SUCCESS(status))
        return status;
    auto* memory = new fx_memory;
    memory->buffer = Buffer;
    memory->size = BufferSize;
    status = memory->commit(Attributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(memory);
        return status;
    }
    *Memory = memory->handle_as<WDFMEMORY>();
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    auto* memory = fx_get<fx_memory>(Memory, fx_type::memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr)
        *BufferSize = memory->size;
    return memory->buffer;
}

NTSTATUS WdfMemoryAssignBuffer(WDFMEMORY Memory, PVOID Buffer, size_t BufferSize) {
    if (auto st = faults::fault_point("WdfMemoryAssignBuffer"))
        return *st;
    auto* memory = fx_get<fx_memory>(Memory, fx_type::memory, "WdfMemoryAssignBuffer");
    if (Buffer == nullptr)
        violation("WdfMemoryAssignBuffer: Buffer is NULL");
    if (BufferSize == 0)
        return STATUS_INVALID_PARAMETER;
    // Only a memory object over a caller's buffer can be pointed elsewhere.
    if (memory->owns_buffer)
        return STATUS_INVALID_DEVICE_REQUEST;
    memory->buffer = Buffer;
    memory->size = BufferSize;
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo) {
    if (auto st = faults::fault_point("WdfMemoryCopyToBuffer"))
        return *st;
    auto* memory = fx_get<fx_memory>(SourceMemory, fx_type::memory, "WdfMemoryCopyToBuffer");
    if (Buffer == nullptr)
        violation("WdfMemoryCopyToBuffer: Buffer is NULL");
    if (NumBytesToCopyTo == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = memory->check_range(SourceOffset, NumBytesToCopyTo, STATUS_BUFFER_TOO_SMALL);
    if (!NT_SUCCESS(status))
        return status;
    std::memmove(Buffer, static_cast<std::uint8_t*>(memory->buffer) + SourceOffset,
                 NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                 PVOID Buffer, size_t NumBytesToCopyFrom) {
    if (auto st = faults::fault_point("WdfMemoryCopyFromBuffer"))
        return *st;
    auto* memory = fx_get<fx_memory>(DestinationMemory, fx_type::memory, "WdfMemoryCopyFromBuffer");
    if (Buffer == nullptr)
        violation("WdfMemoryCopyFromBuffer: Buffer is NULL");
    if (NumBytesToCopyFrom == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status =
        memory->check_range(DestinationOffset, NumBytesToCopyFrom, STATUS_INVALID_BUFFER_SIZE);
    if (!NT_SUCCESS(status))
        return status;
    std::memmove(static_cast<std::uint8_t*>(memory->buffer) + DestinationOffset, Buffer,
                 NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

}  // extern "C"
