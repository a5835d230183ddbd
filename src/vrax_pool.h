// Pool: the one pool type every allocation uses (chosen at driver entry) and the pool tags.
// A tag is four characters stored as a little-endian 32-bit value, first character in the
// low byte, so "vrx0" reads as vrx0 in a pool dump.
#pragma once

#include <ntddk.h>

#define VRAX_POOL_TAG(a, b, c, d)                                               \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | \
     ((ULONG)(UCHAR)(d) << 24))

// Driver object and transaction records.
#define VRAX_TAG_DRIVER VRAX_POOL_TAG('v', 'r', 'x', '0')
// Port read buffers, frame copies of writes, stored messages and notifications.
#define VRAX_TAG_FRAME VRAX_POOL_TAG('v', 'r', 'x', '1')
// Send buffers of writes and kernel-client sends.
#define VRAX_TAG_SEND VRAX_POOL_TAG('v', 'r', 'x', '2')
// Path buffers of the named-event controls.
#define VRAX_TAG_EVENT_PATH VRAX_POOL_TAG('v', 'r', 'x', '4')
#define VRAX_TAG_EVENT_NAME VRAX_POOL_TAG('v', 'r', 'x', '5')
// Client records of the routing table.
#define VRAX_TAG_CLIENT_RECORD VRAX_POOL_TAG('v', 'r', 'x', '7')
// Owner tables of the routing table (client id to record, per port and service type).
#define VRAX_TAG_OWNER_TABLE VRAX_POOL_TAG('v', 'r', 'x', '8')
// Control-response work buffer.
#define VRAX_TAG_RESPONSE VRAX_POOL_TAG('v', 'r', 'x', '9')
// Copies of submitted control requests.
#define VRAX_TAG_CONTROL_COPY VRAX_POOL_TAG('v', 'r', 'x', 'c')
// Request bodies of the deferred controls.
#define VRAX_TAG_DEFERRED_E VRAX_POOL_TAG('v', 'r', 'x', 'e')
#define VRAX_TAG_DEFERRED_G VRAX_POOL_TAG('v', 'r', 'x', 'g')
#define VRAX_TAG_DEFERRED_H VRAX_POOL_TAG('v', 'r', 'x', 'h')
// Release body built at session clean-up.
#define VRAX_TAG_RELEASE VRAX_POOL_TAG('v', 'r', 'x', 'f')
// Kernel client records.
#define VRAX_TAG_KERNEL_CLIENT VRAX_POOL_TAG('v', 'r', 'x', 'i')

// NonPagedPoolNx on Windows 8 (6.2) and later, NonPagedPool before; written once at driver
// entry before any other driver code runs, read-only afterwards.
extern POOL_TYPE VraxPoolType;

inline PVOID VraxAllocatePool(SIZE_T Size, ULONG Tag) {
    return ExAllocatePoolWithTag(VraxPoolType, Size, Tag);
}

inline void VraxFreePool(PVOID Buffer, ULONG Tag) {
    ExFreePoolWithTag(Buffer, Tag);
}

// Owns one pool allocation until Release() hands it on; frees it on every other path.
struct VRAX_POOL_BUFFER {
    PVOID Buffer;
    ULONG Tag;

    VRAX_POOL_BUFFER(SIZE_T Size, ULONG PoolTag)
        : Buffer(VraxAllocatePool(Size, PoolTag)), Tag(PoolTag) {}
    ~VRAX_POOL_BUFFER() {
        if (Buffer != nullptr) {
            VraxFreePool(Buffer, Tag);
        }
    }
    VRAX_POOL_BUFFER(const VRAX_POOL_BUFFER&) = delete;
    VRAX_POOL_BUFFER& operator=(const VRAX_POOL_BUFFER&) = delete;

    PVOID Release() {
        PVOID b = Buffer;
        Buffer = nullptr;
        return b;
    }
};
