// Device types, transfer methods and the control-code macros, shared by the kernel headers
// (wdm.h) and the user-mode ones (winioctl.h) as the two header sets share them.
#pragma once

#ifndef DEVICE_TYPE
#define DEVICE_TYPE ULONG
#endif

#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_BEEP 0x00000001
#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_NULL 0x00000015
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_TRANSPORT 0x00000021
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_MODEM 0x0000002b
#endif

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)
#endif
#ifndef DEVICE_TYPE_FROM_CTL_CODE
#define DEVICE_TYPE_FROM_CTL_CODE(ctl) (((ULONG)((ctl)&0xffff0000)) >> 16)
#endif
#ifndef METHOD_FROM_CTL_CODE
#define METHOD_FROM_CTL_CODE(ctl) ((ULONG)((ctl)&3))
#endif
