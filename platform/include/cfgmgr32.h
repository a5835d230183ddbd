// The configuration manager's device-interface queries, as user-mode programs find their
// devices: the interfaces of a class (and optionally of one device instance) as a list of
// zero-terminated paths ending with an empty string. Implemented in
// platform/win32/config_manager.cpp over the PnP manager's device interfaces; a path is the
// interface's symbolic link in its Win32 form ("\\?\ROOT#ECHO#0000#{guid}"), which
// CreateFileW opens.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef CHAR* DEVNODEID_A;
typedef CHAR* DEVINSTID_A;
typedef WCHAR* DEVNODEID_W;
typedef WCHAR* DEVINSTID_W;
typedef WCHAR* PZZWSTR;
typedef CHAR* PZZSTR;

#define CMAPI

#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_REGISTRY_ERROR 0x0000001D
#define CR_INVALID_DEVICE_ID 0x0000001E
#define CR_INVALID_DATA 0x0000001F

// Interfaces of present (started, enabled) devices only, or every registered one.
#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001
#define CM_GET_DEVICE_INTERFACE_LIST_BITS 0x00000001

// The list's length in characters, its final empty string included (1 when empty).
CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                          DEVINSTID_W pDeviceID, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                          DEVINSTID_A pDeviceID, ULONG ulFlags);
// CR_BUFFER_SMALL when BufferLen characters cannot hold the whole list (interfaces can
// arrive between the two calls: ask for the size again).
CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid,
                                                     DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                                     ULONG BufferLen, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid,
                                                     DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                                     ULONG BufferLen, ULONG ulFlags);

#ifdef UNICODE
#define CM_Get_Device_Interface_List_Size CM_Get_Device_Interface_List_SizeW
#define CM_Get_Device_Interface_List CM_Get_Device_Interface_ListW
#else
#define CM_Get_Device_Interface_List_Size CM_Get_Device_Interface_List_SizeA
#define CM_Get_Device_Interface_List CM_Get_Device_Interface_ListA
#endif

#ifdef __cplusplus
}  // extern "C"
#endif
