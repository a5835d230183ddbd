// The SMD channel driver's interface as its clients see it: the device-interface class, the
// three I/O controls and the layout of the open request, the event names a channel is met on
// and the range of port indices. Plain C types only; include after <ntddk.h> or <windows.h>,
// which define ULONG, WCHAR and DEFINE_GUID.
//
// A client opens the interface's symbolic link (one handle per channel) and sends
// IOCTL_SMD_OPEN with an SMD_OPEN_REQUEST naming three events. The SMD driver creates (or
// opens) them, not signalled, and signals the open event when the channel's far end opens,
// the read event whenever a chunk is queued for reading, and the close event when the far end
// closes the channel. Reads return one chunk each; IOCTL_SMD_READ_PENDING answers, in the
// request's information value, the number of bytes queued; a write carries one frame.
#pragma once

// Class of the SMD channel driver's device interface.
// {7714FA50-AA27-4A14-9EE8-D70F982B2511}
DEFINE_GUID(GUID_DEVINTERFACE_SMD_CHANNEL, 0x7714FA50, 0xAA27, 0x4A14, 0x9E, 0xE8, 0xD7, 0x0F, 0x98,
            0x2B, 0x25, 0x11);
// The same value as an initialiser, for a module that keeps its own constant rather than
// defining the shared symbol (two drivers linked into one host process must not both define
// GUID_DEVINTERFACE_SMD_CHANNEL).
#define SMD_CHANNEL_INTERFACE_GUID_INIT                    \
    {                                                      \
        0x7714FA50, 0xAA27, 0x4A14, {                      \
            0x9E, 0xE8, 0xD7, 0x0F, 0x98, 0x2B, 0x25, 0x11 \
        }                                                  \
    }

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS), spelled out so
// that this header needs neither the kernel's nor Win32's definition.
#define SMD_IOCTL_DEVICE_TYPE 0x00000022UL
#define SMD_IOCTL(function) ((SMD_IOCTL_DEVICE_TYPE << 16) | ((unsigned long)(function) << 2))

// In: SMD_OPEN_REQUEST (STATUS_BUFFER_TOO_SMALL when shorter; bytes past it are not read).
// Binds the handle's channel to the port its event names carry.
#define IOCTL_SMD_OPEN SMD_IOCTL(0)
// No input. Closes the handle's channel and releases the driver's handles to its events.
#define IOCTL_SMD_CLOSE SMD_IOCTL(1)
// No buffers. The information value answers the number of bytes queued for reading.
#define IOCTL_SMD_READ_PENDING SMD_IOCTL(4)

// Ports 0 .. SMD_PORT_COUNT - 1 exist.
#define SMD_PORT_COUNT 29

// Characters of one event name field, terminator included.
#define SMD_EVENT_NAME_CHARS 128

// The fixed words of an open request.
#define SMD_OPEN_RESERVED 0UL
#define SMD_OPEN_VERSION 1UL
#define SMD_OPEN_BUFFER_LENGTH 1024UL

// 780 bytes, little-endian, no padding. Each name is the event's short name, UTF-16LE,
// terminated within its field and zero-padded: a prefix below followed by the port index in
// decimal ("VRAX_SMD_SHARED_EVENT_READ_0"); all three carry the same index.
#pragma pack(push, 1)
typedef struct _SMD_OPEN_REQUEST {
    ULONG Reserved;      // SMD_OPEN_RESERVED
    ULONG Version;       // SMD_OPEN_VERSION
    ULONG BufferLength;  // SMD_OPEN_BUFFER_LENGTH
    WCHAR ReadEventName[SMD_EVENT_NAME_CHARS];
    WCHAR OpenEventName[SMD_EVENT_NAME_CHARS];
    WCHAR CloseEventName[SMD_EVENT_NAME_CHARS];
} SMD_OPEN_REQUEST, *PSMD_OPEN_REQUEST;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SMD_OPEN_REQUEST) == 780, "SMD_OPEN_REQUEST is 780 bytes");
#endif

// Short-name prefixes and the directory the full names live in, as narrow literals: widen
// them by concatenation (L"" SMD_READ_EVENT_PREFIX, or u"" on a host).
#define SMD_READ_EVENT_PREFIX "VRAX_SMD_SHARED_EVENT_READ_"
#define SMD_OPEN_EVENT_PREFIX "VRAX_SMD_SHARED_EVENT_OPEN_"
#define SMD_CLOSE_EVENT_PREFIX "VRAX_SMD_SHARED_EVENT_CLOSE_"
#define SMD_EVENT_DIRECTORY "\\BaseNamedObjects\\"
