// Framework time-out helpers (100-ns units; relative times are negative) and string
// declarations.
#pragma once

#include <wdftypes.h>

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)

FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_MS;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_MS;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_US;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_US(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_US;
}

FORCEINLINE size_t WDF_ALIGN_SIZE_DOWN(size_t Length, size_t AlignTo) {
    return Length & ~(AlignTo - 1);
}
FORCEINLINE size_t WDF_ALIGN_SIZE_UP(size_t Length, size_t AlignTo) {
    return WDF_ALIGN_SIZE_DOWN(Length + AlignTo - 1, AlignTo);
}

#define WDF_PTR_ADD_OFFSET_TYPE(_ptr, _offset, _type) ((_type)(((PUCHAR)(_ptr)) + (_offset)))
#define WDF_PTR_ADD_OFFSET(_ptr, _offset) WDF_PTR_ADD_OFFSET_TYPE(_ptr, _offset, PVOID)
#define WDF_PTR_GET_OFFSET(_base, _addr) (size_t)(((PUCHAR)_addr) - ((PUCHAR)_base))

#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (USHORT)((_size) * sizeof(WCHAR)), _var##_buffer}

#undef DECLARE_CONST_UNICODE_STRING
#define DECLARE_CONST_UNICODE_STRING(_variablename, _string)                         \
    const WCHAR _variablename##_buffer[] = _string;                                  \
    const UNICODE_STRING _variablename = {(USHORT)(sizeof(_string) - sizeof(WCHAR)), \
                                          (USHORT)sizeof(_string), (PWSTR)_variablename##_buffer}
