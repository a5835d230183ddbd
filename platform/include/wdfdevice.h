// Framework devices: the WDFDEVICE_INIT set-up (callbacks, I/O type, name, security, file
// objects), device creation, symbolic links, device interfaces, registry keys and the
// Plug and Play and power callbacks the framework calls as the device starts, sleeps,
// resumes, stops and goes away.
#pragma once

#include <wdffileobject.h>
#include <wdfobject.h>
#include <wdfrequest.h>

WDF_EXTERN_C_START

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE,
    *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileBoot,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE,
    *PWDF_SPECIAL_FILE_TYPE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
    WdfDeviceIoBufferedOrDirect = 4,
} WDF_DEVICE_IO_TYPE,
    *PWDF_DEVICE_IO_TYPE;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS,
    *PWDF_FILEOBJECT_CLASS;

typedef enum _WDF_DEVICE_FAILED_ACTION {
    WdfDeviceFailedUndefined = 0,
    WdfDeviceFailedAttemptRestart,
    WdfDeviceFailedNoRestart,
} WDF_DEVICE_FAILED_ACTION;

typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request,
                                        WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            PFN_WDF_FILE_CLOSE EvtFileClose,
                                            PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(
    WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED*
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device,
                                                                WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED*
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device,
                                               WDF_SPECIAL_FILE_TYPE NotificationType,
                                               BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef NTSTATUS EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX(WDFDEVICE Device,
                                                      WDF_SPECIAL_FILE_TYPE NotificationType,
                                                      BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX* PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX;
typedef VOID EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX EvtDeviceUsageNotificationEx;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

// Device set-up, valid until WdfDeviceCreate consumes the WDFDEVICE_INIT.
VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit);
VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner);
VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);
VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
VOID WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit);
VOID WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit);
VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType);
NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName);
NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString);
VOID WdfDeviceInitSetDeviceClass(PWDFDEVICE_INIT DeviceInit, CONST GUID* DeviceClassGuid);
VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                     BOOLEAN OrInValues);
VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                       PWDF_OBJECT_ATTRIBUTES RequestAttributes);

// The device.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
VOID WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable);
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);
VOID WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString, BOOLEAN IsInterfaceEnabled);
NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                                PCUNICODE_STRING ReferenceString, WDFSTRING String);
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName);
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);
WDFFILEOBJECT WdfDeviceGetFileObject(WDFDEVICE Device, PFILE_OBJECT FileObject);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device);
WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject);
VOID WdfDeviceSetFailed(WDFDEVICE Device, WDF_DEVICE_FAILED_ACTION FailedAction);
ULONG WdfDeviceGetCharacteristics(WDFDEVICE Device);
VOID WdfDeviceSetCharacteristics(WDFDEVICE Device, ULONG DeviceCharacteristics);
NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request);
NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue,
                                              WDF_REQUEST_TYPE RequestType);

WDF_EXTERN_C_END
