// Framework registry keys: the device's hardware and software keys and the driver's
// Parameters key, with typed value queries and assignments.
#pragma once

#include <wdfobject.h>

#define WDF_REGKEY_DEVICE_SUBKEY 0
#define WDF_REGKEY_DRIVER_SUBKEY 0

WDF_EXTERN_C_START

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                              ULONG CreateOptions, PULONG CreateDisposition,
                              PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
VOID WdfRegistryClose(WDFKEY Key);
HANDLE WdfRegistryWdmGetHandle(WDFKEY Key);
NTSTATUS WdfRegistryRemoveKey(WDFKEY Key);
NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName);
NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                               PVOID Value, PULONG ValueLengthQueried, PULONG ValueType);
NTSTATUS WdfRegistryQueryMemory(WDFKEY Key, PCUNICODE_STRING ValueName, POOL_TYPE PoolType,
                                PWDF_OBJECT_ATTRIBUTES MemoryAttributes, WDFMEMORY* Memory,
                                PULONG ValueType);
NTSTATUS WdfRegistryQueryMultiString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                     PWDF_OBJECT_ATTRIBUTES StringsAttributes,
                                     WDFCOLLECTION Collection);
NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                       PUSHORT ValueByteLength, PUNICODE_STRING Value);
NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String);
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                ULONG ValueLength, PVOID Value);
NTSTATUS WdfRegistryAssignMemory(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                 WDFMEMORY Memory, PWDFMEMORY_OFFSET MemoryOffsets);
NTSTATUS WdfRegistryAssignMultiString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                      WDFCOLLECTION StringsCollection);
NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                        PCUNICODE_STRING Value);
NTSTATUS WdfRegistryAssignString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String);
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);

WDF_EXTERN_C_END
