// Basic kernel types, as the WDK's ntdef.h declares them for a 64-bit build: integer and
// pointer types, NTSTATUS and its tests, counted strings, list entries, GUIDs and large
// integers, and the calling-convention and linkage macros the other headers use.
//
// WCHAR is 16 bits wide as on Windows. Driver sources are compiled with a 2-byte wchar_t
// so their L"" literals are WCHAR arrays; host code keeps the 4-byte wchar_t of its
// standard library and sees WCHAR as char16_t, which has the same size and layout.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <sal.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

#define NTAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTKERNELAPI
#define NTHALAPI
#define WINAPI
#define CALLBACK
#define FASTCALL
#define __stdcall
#define __cdecl
#define __fastcall
#define DECLSPEC_IMPORT
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#ifndef FORCEINLINE
#ifdef __cplusplus
#define FORCEINLINE inline __attribute__((always_inline))
#else
// C has no linkage-free inline: each translation unit keeps its own copy.
#define FORCEINLINE static inline __attribute__((always_inline))
#endif
#endif
// One definition of a constant that several translation units may each define (COMDAT
// "select any" on Windows): the linker keeps one and every unit refers to it.
#define DECLSPEC_SELECTANY __attribute__((weak))
#define NTAPI_INLINE
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#ifdef __cplusplus
#define C_ASSERT(e) static_assert(e, #e)
#else
#define C_ASSERT(e) _Static_assert(e, #e)
#endif
#define ANYSIZE_ARRAY 1

#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void*)0)
#endif
#endif

#define VOID void
#define CONST const
#define OPTIONAL
#define IN
#define OUT
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* PCVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef short SHORT;
typedef int32_t LONG;
typedef int INT;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;
typedef uint32_t DWORD32;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef uintptr_t DWORD_PTR;
typedef ULONG_PTR KAFFINITY;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef float FLOAT;
typedef double DOUBLE;

typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
#define TRUE 1
#define FALSE 0

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#elif defined(__cplusplus)
typedef char16_t WCHAR;
#else
typedef uint_least16_t WCHAR;
#endif
C_ASSERT(sizeof(WCHAR) == 2);

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSZ;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* NWPSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef SHORT* PSHORT;
typedef INT* PINT;
typedef UINT* PUINT;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG64* PULONG64;
typedef LONG64* PLONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef LONG_PTR* PLONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef WORD* PWORD;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef ULONG CLONG;
typedef ULONG LOGICAL;
typedef ULONG* PLOGICAL;

typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONGLONG (0x7fffffffffffffffLL)
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXSIZE_T (~((SIZE_T)0))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING* PCSTRING;
typedef const ANSI_STRING* PCANSI_STRING;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, not counting any terminator
    USHORT MaximumLength;  // bytes of Buffer
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID* PGUID;
typedef const GUID* PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID&
#else
#define REFGUID const GUID*
#endif

#ifdef __cplusplus
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}
#else
#define IsEqualGUID(rguid1, rguid2) (!__builtin_memcmp((rguid1), (rguid2), sizeof(GUID)))
#endif

// DEFINE_GUID declares the GUID; in a source that defines INITGUID (or includes
// <initguid.h>) first it defines it as well, as a select-any constant, so several sources
// may each define the same GUID.
#ifdef __cplusplus
#define DEFINE_GUID_SELECTANY_STORAGE_ EXTERN_C const GUID DECLSPEC_SELECTANY
#else
#define DEFINE_GUID_SELECTANY_STORAGE_ const GUID DECLSPEC_SELECTANY
#endif
#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    DEFINE_GUID_SELECTANY_STORAGE_ name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s) }

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

#define MAKELONG(a, b)                                                                         \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) \
                                                      << 16))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
