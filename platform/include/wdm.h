// The kernel surface a KMDF driver sees through wdm.h: IRQL, pool, dispatcher objects and
// waits, system threads, object references and handles, the version query, routine
// look-up, tracing registration, interlocked operations and the run-time string routines.
// The I/O manager's and the Plug and Play manager's parts follow in wdm_io.h and
// wdm_pnp.h. Every routine here is implemented by the host platform (platform/kernel).
#pragma once

#include <ntdef.h>
#include <ntstatus.h>

#include <kernel_crt.h>

EXTERN_C_START

// ---- Access rights ----------------------------------------------------------------------
#define DELETE (0x00010000L)
#define READ_CONTROL (0x00020000L)
#define WRITE_DAC (0x00040000L)
#define WRITE_OWNER (0x00080000L)
#define SYNCHRONIZE (0x00100000L)
#define STANDARD_RIGHTS_REQUIRED (0x000F0000L)
#define STANDARD_RIGHTS_READ (READ_CONTROL)
#define STANDARD_RIGHTS_WRITE (READ_CONTROL)
#define STANDARD_RIGHTS_EXECUTE (READ_CONTROL)
#define STANDARD_RIGHTS_ALL (0x001F0000L)
#define SPECIFIC_RIGHTS_ALL (0x0000FFFFL)
#define ACCESS_SYSTEM_SECURITY (0x01000000L)
#define MAXIMUM_ALLOWED (0x02000000L)
#define GENERIC_READ (0x80000000L)
#define GENERIC_WRITE (0x40000000L)
#define GENERIC_EXECUTE (0x20000000L)
#define GENERIC_ALL (0x10000000L)

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define THREAD_TERMINATE (0x0001)
#define THREAD_QUERY_INFORMATION (0x0040)
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define KEY_QUERY_VALUE (0x0001)
#define KEY_SET_VALUE (0x0002)
#define KEY_CREATE_SUB_KEY (0x0004)
#define KEY_ENUMERATE_SUB_KEYS (0x0008)
#define KEY_NOTIFY (0x0010)
#define KEY_CREATE_LINK (0x0020)
#define KEY_READ                                                                      \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & \
     (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                             \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                     \
     (~SYNCHRONIZE))

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// ---- IRQL -------------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define PROFILE_LEVEL 27
#define HIGH_LEVEL 15

NTKERNELAPI KIRQL KeGetCurrentIrql(VOID);
NTKERNELAPI VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(VOID);

// Pageable code runs at or below APC_LEVEL; the platform bug-checks a pageable routine
// entered above it, as the checked kernel does.
NTKERNELAPI VOID KeCheckPagedCode(PCSTR File, ULONG Line);
#define PAGED_CODE() KeCheckPagedCode(__FILE__, __LINE__)
#define PAGED_CODE_LOCKED() ((void)0)

// ---- Bug checks, assertions and debug output ---------------------------------------------
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define WDF_VIOLATION 0x0000010D
#define BAD_POOL_CALLER 0x000000C2
#define MANUALLY_INITIATED_CRASH 0x000000E2

NTKERNELAPI __attribute__((noreturn)) VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1,
                                                        ULONG_PTR Parameter2, ULONG_PTR Parameter3,
                                                        ULONG_PTR Parameter4);
NTKERNELAPI __attribute__((noreturn)) VOID KeBugCheck(ULONG BugCheckCode);
// The kernel's conversions, not the C library's (%wZ, %ws, %S, %Iu, %I64x; 'l' is 32 bits),
// so no printf format attribute: the compiler would check them against the wrong table.
NTSYSAPI ULONG DbgPrint(_Printf_format_string_ PCSTR Format, ...);
NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, _Printf_format_string_ PCSTR Format, ...);
NTSYSAPI VOID DbgBreakPoint(VOID);
NTSYSAPI VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                        PSTR MutableMessage);

#if !defined(DBG)
#define DBG 1
#endif
#if DBG
#define ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#else
#define ASSERT(exp) ((void)0)
#define ASSERTMSG(msg, exp) ((void)0)
#endif
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args
#define KdBreakPoint() DbgBreakPoint()

// ---- Pool -------------------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

// Default protection of MDL mappings for a driver that opted in to non-executable pool.
#define MdlMappingNoExecute 0x40000000

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID ExFreePool(PVOID P);

// ExAllocatePool2: zero-filled unless POOL_FLAG_UNINITIALIZED; NULL on failure.
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
NTKERNELAPI PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);

// ---- Doubly linked lists ------------------------------------------------------------------
FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY prev = Entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Blink;
    RemoveEntryList(entry);
    return entry;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY prev = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = prev;
    prev->Flink = Entry;
    ListHead->Blink = Entry;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY next = ListHead->Flink;
    Entry->Flink = next;
    Entry->Blink = ListHead;
    next->Blink = Entry;
    ListHead->Flink = Entry;
}

// ---- Memory descriptor lists --------------------------------------------------------------
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

// ---- File create dispositions and options (ZwCreateFile, I/O target opens) ---------------
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080

// ---- Memory -----------------------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) \
    __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) \
    __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) \
    (!__builtin_memcmp((Destination), (Source), (Length)))
#define RtlSecureZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
NTSYSAPI SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---- Dispatcher objects: events, threads ------------------------------------------------
typedef LONG KPRIORITY;

// The header every object a thread can wait on starts with. The platform keeps the
// waiters itself; the header holds the type and the signal state.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _KPROCESS* PKPROCESS;
typedef struct _KPROCESS* PRKPROCESS;
typedef struct _EPROCESS* PEPROCESS;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    MaximumWaitReason = 40
} KWAIT_REASON;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PVOID Object;
    PKTHREAD Thread;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);

NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                              PKWAIT_BLOCK WaitBlockArray);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);

// ---- Time -------------------------------------------------------------------------------
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(VOID);

// ---- System threads ---------------------------------------------------------------------
typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                          PVOID StartContext);
NTKERNELAPI __attribute__((noreturn)) NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PKTHREAD KeGetCurrentThread(VOID);
NTKERNELAPI PETHREAD PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE PsGetCurrentThreadId(VOID);
NTKERNELAPI BOOLEAN PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);

// ---- Objects and handles ----------------------------------------------------------------
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* IoFileObjectType;

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                               PVOID* Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);
// Opens an existing named event (ObjectAttributes names it) with the access asked for.
// STATUS_OBJECT_NAME_NOT_FOUND when no such name, STATUS_OBJECT_TYPE_MISMATCH when the name
// is not an event. PASSIVE_LEVEL only. (ZwCreateEvent is declared in ntifs.h.)
NTSYSAPI NTSTATUS ZwOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NtClose(HANDLE Handle);

// ---- Version and routine look-up ---------------------------------------------------------
typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

NTSYSAPI NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
NTKERNELAPI BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                 PUNICODE_STRING CSDVersion);
NTKERNELAPI PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// ---- Counted strings --------------------------------------------------------------------
NTSYSAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// ANSI to Unicode: each byte becomes one code unit (the ASCII range converts exactly). With
// AllocateDestinationString the buffer comes from pool (released by RtlFreeUnicodeString).
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                   PCUNICODE_STRING SourceString);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                 PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSYSAPI WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
NTSYSAPI ULONG RtlNtStatusToDosError(NTSTATUS Status);

// ---- Interlocked operations -------------------------------------------------------------
// Each one is first a synchronisation point of the host scheduler's deterministic mode,
// where the run may pass to another thread (platform/core/scheduler.h); in the ordinary mode
// the hook returns at once. Not a Windows routine: the host's own.
void platform_sync_point(const char* point);
#define PLATFORM_INTERLOCKED_(name, op) (platform_sync_point(name), op)
#define InterlockedIncrement(p) \
    PLATFORM_INTERLOCKED_("InterlockedIncrement", __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST))
#define InterlockedDecrement(p) \
    PLATFORM_INTERLOCKED_("InterlockedDecrement", __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST))
#define InterlockedExchange(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedExchange", __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedExchangeAdd(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedExchangeAdd", __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedAdd(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedAdd", __atomic_add_fetch((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedOr(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedOr", __atomic_fetch_or((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedAnd(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedAnd", __atomic_fetch_and((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedIncrement64 InterlockedIncrement
#define InterlockedDecrement64 InterlockedDecrement
#define InterlockedExchangePointer(p, v)                \
    PLATFORM_INTERLOCKED_("InterlockedExchangePointer", \
                          __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST))
#ifdef __cplusplus
}  // extern "C"
template <typename T, typename U, typename V>
inline T InterlockedCompareExchangeImpl(volatile T* target, U exchange, V comparand) {
    platform_sync_point("InterlockedCompareExchange");
    T expected = static_cast<T>(comparand);
    __atomic_compare_exchange_n(target, &expected, static_cast<T>(exchange), false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;
}
#define InterlockedCompareExchange(p, e, c) InterlockedCompareExchangeImpl((p), (e), (c))
#define InterlockedCompareExchangePointer(p, e, c) InterlockedCompareExchangeImpl((p), (e), (c))
extern "C" {
#else
#define InterlockedCompareExchange(p, e, c) \
    PLATFORM_INTERLOCKED_("InterlockedCompareExchange", __sync_val_compare_and_swap((p), (c), (e)))
#define InterlockedCompareExchangePointer(p, e, c) \
    PLATFORM_INTERLOCKED_("InterlockedCompareExchange", __sync_val_compare_and_swap((p), (c), (e)))
#endif
// The rest of the family: each returns what Windows' does (the original value for
// exchange, compare-exchange, exchange-add, or, and, xor; the new value for increment,
// decrement and add), with full barriers; the Acquire / Release / NoFence variants are no
// weaker than that.
#define InterlockedXor(p, v) \
    PLATFORM_INTERLOCKED_("InterlockedXor", __atomic_fetch_xor((p), (v), __ATOMIC_SEQ_CST))
#define InterlockedExchange64 InterlockedExchange
#define InterlockedExchangeAdd64 InterlockedExchangeAdd
#define InterlockedAdd64 InterlockedAdd
#define InterlockedOr64 InterlockedOr
#define InterlockedAnd64 InterlockedAnd
#define InterlockedXor64 InterlockedXor
#define InterlockedCompareExchange64 InterlockedCompareExchange
#define InterlockedIncrement16 InterlockedIncrement
#define InterlockedDecrement16 InterlockedDecrement
#define InterlockedCompareExchange16 InterlockedCompareExchange
#define InterlockedIncrementAcquire InterlockedIncrement
#define InterlockedIncrementRelease InterlockedIncrement
#define InterlockedDecrementAcquire InterlockedDecrement
#define InterlockedDecrementRelease InterlockedDecrement
#define InterlockedCompareExchangeAcquire InterlockedCompareExchange
#define InterlockedCompareExchangeRelease InterlockedCompareExchange
#define InterlockedExchangeAcquire InterlockedExchange
#define InterlockedIncrementNoFence InterlockedIncrement
#define InterlockedDecrementNoFence InterlockedDecrement
#define InterlockedExchangeNoFence InterlockedExchange
#define InterlockedCompareExchangePointerAcquire InterlockedCompareExchangePointer
#define InterlockedCompareExchangePointerRelease InterlockedCompareExchangePointer
#define InterlockedExchangePointerAcquire InterlockedExchangePointer
// The old value of bit `b` of the LONG at `p`, which is then set / cleared.
#define InterlockedBitTestAndSet(p, b) \
    ((BOOLEAN)((__atomic_fetch_or((p), (LONG)(1UL << (b)), __ATOMIC_SEQ_CST) >> (b)) & 1))
#define InterlockedBitTestAndReset(p, b) \
    ((BOOLEAN)((__atomic_fetch_and((p), (LONG) ~(1UL << (b)), __ATOMIC_SEQ_CST) >> (b)) & 1))
#define ReadAcquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define WriteRelease(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)
#define WriteNoFence(p, v) __atomic_store_n((p), (v), __ATOMIC_RELAXED)
#define ReadPointerAcquire ReadAcquire
#define WritePointerRelease WriteRelease
#define ReadNoFence(p) __atomic_load_n((p), __ATOMIC_RELAXED)
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)

// ---- Tracing registration (used by the WPP runtime) ----------------------------------------
typedef ULONGLONG REGHANDLE, *PREGHANDLE;
typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

typedef struct _EVENT_FILTER_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

// Classic-provider enable callback: the consumer's session handle, whether it enables,
// and the level and flags it asks for.
typedef VOID ETW_CLASSIC_CALLBACK(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext,
                                  PVOID CallbackContext);
typedef ETW_CLASSIC_CALLBACK* PETW_CLASSIC_CALLBACK;

NTKERNELAPI NTSTATUS EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                                PETW_CLASSIC_CALLBACK EnableCallback,
                                                PVOID CallbackContext, PREGHANDLE RegHandle);
NTKERNELAPI NTSTATUS EtwUnregister(REGHANDLE RegHandle);

// Registers (or deregisters) a device object as a WMI data or trace provider.
struct _DEVICE_OBJECT;
NTKERNELAPI NTSTATUS IoWMIRegistrationControl(struct _DEVICE_OBJECT* DeviceObject, ULONG Action);

#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4
#define WMIREG_ACTION_BLOCK_IRPS 5
#define WMIREG_FLAG_CALLBACK 0x80000000
#define WMIREG_FLAG_TRACE_PROVIDER 0x00010000

typedef enum _TRACE_INFORMATION_CLASS {
    TraceIdClass,
    TraceHandleClass,
    TraceEnableFlagsClass,
    TraceEnableLevelClass,
    GlobalLoggerHandleClass,
    EventLoggerHandleClass,
    AllLoggerHandlesClass,
    TraceHandleByNameClass,
    LoggerEventsLostClass,
    TraceSessionSettingsClass,
    LoggerEventsLoggedClass,
    MaxTraceInformationClass
} TRACE_INFORMATION_CLASS;

NTKERNELAPI NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags,
                                     LPCGUID MessageGuid, USHORT MessageNumber, ...);
NTKERNELAPI NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass,
                                              PVOID TraceInformation, ULONG TraceInformationLength,
                                              PULONG RequiredLength, PVOID Buffer);

EXTERN_C_END

#include <wdm_io.h>
#include <wdm_pnp.h>
#include <wdm_timer.h>
