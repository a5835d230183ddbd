// Framework objects: attributes (context type, clean-up and destroy callbacks, execution
// level, synchronisation scope, parent), typed contexts, references and deletion.
//
// WDF_DECLARE_CONTEXT_TYPE(_WITH_NAME) defines one constant, constant-initialised type
// descriptor per context type (an inline variable, so every translation unit shares one
// address and no global constructor runs) and the typed accessor.
#pragma once

#include <wdftypes.h>

WDF_EXTERN_C_START

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;

typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                               \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context);
WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer);
VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File);
VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File);
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
VOID WdfObjectDelete(WDFOBJECT Object);
NTSTATUS WdfObjectQuery(WDFOBJECT Object, CONST GUID* Guid, ULONG QueryBufferLength,
                        PVOID QueryBuffer);

WDF_EXTERN_C_END

// One descriptor per context type; its own address is the type's identity.
#ifdef __cplusplus
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType)            \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                        \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = { \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), const_cast<PCHAR>(#_contexttype),            \
        sizeof(_contexttype), _UniqueType, _GetUniqueType};
#else
// C has no inline variables: a select-any constant gives every translation unit one address.
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType)       \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                   \
    const WDF_OBJECT_CONTEXT_TYPE_INFO DECLSPEC_SELECTANY WDF_TYPE_NAME_TO_TYPE_INFO( \
        _contexttype) = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), (PCHAR) #_contexttype, \
                         sizeof(_contexttype), _UniqueType, _GetUniqueType};
#endif

#define WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)                          \
    FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) { \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(      \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                     \
    }

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                    \
    WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, WDF_GET_CONTEXT_TYPE_INFO(_contexttype), NULL) \
    WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type)               \
    (type*)WdfObjectGetTypedContextWorker((WDFOBJECT)handle, \
                                          WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType)

#define WdfObjectReference(Handle) WdfObjectReferenceWithTag(Handle, NULL)
#define WdfObjectDereference(Handle) WdfObjectDereferenceWithTag(Handle, NULL)
#ifdef __cplusplus
#define WdfObjectReferenceWithTag(Handle, Tag) \
    WdfObjectReferenceActual(Handle, Tag, __LINE__, const_cast<PCHAR>(__FILE__))
#define WdfObjectDereferenceWithTag(Handle, Tag) \
    WdfObjectDereferenceActual(Handle, Tag, __LINE__, const_cast<PCHAR>(__FILE__))
#else
#define WdfObjectReferenceWithTag(Handle, Tag) \
    WdfObjectReferenceActual((WDFOBJECT)(Handle), Tag, __LINE__, (PCHAR)__FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag) \
    WdfObjectDereferenceActual((WDFOBJECT)(Handle), Tag, __LINE__, (PCHAR)__FILE__)
#endif
