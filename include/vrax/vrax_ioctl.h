// I/O control codes of the VRAX control device. Every code uses device type 1, any access
// and buffered transfer, so input and output share one system buffer: a control that writes
// output overwrites its input. Buffer layouts are little-endian.
#pragma once

#define VRAX_IOCTL_DEVICE_TYPE 0x0001UL
// Same layout as CTL_CODE(VRAX_IOCTL_DEVICE_TYPE, function, METHOD_BUFFERED, FILE_ANY_ACCESS),
// spelled out so this header needs neither the kernel's nor Win32's definition.
#define VRAX_IOCTL(function) ((VRAX_IOCTL_DEVICE_TYPE << 16) | ((unsigned long)(function) << 2))

// In 8 bytes, out 12 bytes (zero, not returned).
#define IOCTL_VRAX_RESET_SESSION VRAX_IOCTL(0x900)
// In: a 32-byte control request descriptor followed by the request body.
#define IOCTL_VRAX_SUBMIT_CONTROL_REQUEST VRAX_IOCTL(0x901)
// In: 4 bytes, not interpreted.
#define IOCTL_VRAX_STOP_PORT VRAX_IOCTL(0x902)
// Out: one service message.
#define IOCTL_VRAX_READ_MESSAGE VRAX_IOCTL(0x903)
// In: service type (4 bytes) and optionally port index (4 bytes); out: 1-byte client id.
#define IOCTL_VRAX_GET_CLIENT_ID VRAX_IOCTL(0x904)
#define IOCTL_VRAX_SERVICE_TWO_QUERY VRAX_IOCTL(0x905)
// In: service type and optionally port index; out: up to four 16-bit version words.
#define IOCTL_VRAX_BIND_SERVICE VRAX_IOCTL(0x906)
#define IOCTL_VRAX_BIND_SERVICE_2 VRAX_IOCTL(0x907)
// In: an event name in wide characters; out: the 8-byte handle value to release it by.
#define IOCTL_VRAX_OPEN_EVENT VRAX_IOCTL(0x908)
#define IOCTL_VRAX_OPEN_EVENT_W VRAX_IOCTL(0x909)
// In: the 8-byte handle value an open returned.
#define IOCTL_VRAX_CLOSE_EVENT VRAX_IOCTL(0x90A)
// In: 32-bit value, 16-bit value, 2 unused bytes, 32-bit port index; out: 16-bit value.
#define IOCTL_VRAX_VALUE_QUERY VRAX_IOCTL(0x90B)
// Out: one 8-byte port-state notification.
#define IOCTL_VRAX_READ_NOTIFICATION VRAX_IOCTL(0x90C)
