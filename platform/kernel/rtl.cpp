// Run-time library routines: counted strings, integer conversion, memory comparison and the
// NTSTATUS to Win32 error mapping.
#include <wdm.h>

#include <cstring>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "kernel/pool.h"
#include "kernel/strings.h"

namespace {

USHORT wcs_bytes(PCWSTR s, size_t cap_chars, bool* too_long) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    *too_long = n > cap_chars;
    return static_cast<USHORT>((*too_long ? cap_chars : n) * sizeof(WCHAR));
}

void terminate_if_room(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) {
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
    }
}

int digit_value(WCHAR c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // The longest counted string leaves room for the terminator within 65534 bytes.
    bool too_long;
    USHORT bytes = wcs_bytes(SourceString,
                             (UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) / sizeof(WCHAR), &too_long);
    DestinationString->Length = bytes;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    DestinationString->Length = DestinationString->MaximumLength = 0;
    if (SourceString == nullptr) {
        return STATUS_SUCCESS;
    }
    bool too_long;
    USHORT bytes = wcs_bytes(SourceString,
                             (UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) / sizeof(WCHAR), &too_long);
    if (too_long) {
        DestinationString->Buffer = nullptr;
        return STATUS_NAME_TOO_LONG;
    }
    DestinationString->Length = bytes;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = std::strlen(SourceString);
    if (n > 0xFFFE) {
        n = 0xFFFE;
    }
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
}

// The pool tag of strings the run-time library allocates for its caller ("Strg").
constexpr ULONG rtl_string_tag = 0x67727453;

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    const char* routine = "RtlAnsiStringToUnicodeString";
    size_t bytes = size_t(SourceString->Length) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        USHORT maximum = static_cast<USHORT>(bytes + sizeof(WCHAR));
        void* buffer = platform::kernel::pool::allocate(PagedPool, maximum, rtl_string_tag, routine,
                                                        __builtin_return_address(0));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = static_cast<PWCH>(buffer);
        DestinationString->MaximumLength = maximum;
    } else {
        if (auto st = platform::faults::fault_point(routine)) {
            return *st;
        }
        if (bytes > DestinationString->MaximumLength) {
            return STATUS_BUFFER_OVERFLOW;
        }
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] =
            static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    terminate_if_room(DestinationString);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        platform::kernel::pool::release(UnicodeString->Buffer, rtl_string_tag, true,
                                        "RtlFreeUnicodeString", __builtin_return_address(0));
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length <= DestinationString->MaximumLength
                   ? SourceString->Length
                   : DestinationString->MaximumLength;
    n &= static_cast<USHORT>(~1u);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    terminate_if_room(DestinationString);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    auto a = platform::kernel::view(String1);
    auto b = platform::kernel::view(String2);
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = a[i];
        WCHAR y = b[i];
        if (CaseInSensitive) {
            x = platform::kernel::upcase(x);
            y = platform::kernel::upcase(y);
        }
        if (x != y) {
            return static_cast<LONG>(x) - static_cast<LONG>(y);
        }
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    terminate_if_room(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if (size_t(n) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    terminate_if_room(String);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    auto s = platform::kernel::view(String);
    size_t i = 0;
    while (i < s.size() && s[i] <= ' ') {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < s.size() && s[i] == '0') {
            WCHAR p = s[i + 1];
            if (p == 'x' || p == 'X') {
                Base = 16;
            } else if (p == 'o' || p == 'O') {
                Base = 8;
            } else if (p == 'b' || p == 'B') {
                Base = 2;
            }
            if (Base != 10) {
                i += 2;
            }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Value == nullptr) {
        return STATUS_ACCESS_VIOLATION;
    }
    // Conversion stops at the first character that is not a digit of the base.
    ULONG total = 0;
    for (; i < s.size(); ++i) {
        int d = digit_value(s[i]);
        if (d >= static_cast<int>(Base)) {
            break;
        }
        total = total * Base + static_cast<ULONG>(d);
    }
    *Value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return platform::kernel::upcase(SourceCharacter);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n]) {
        ++n;
    }
    return n;
}

// The mapping the I/O manager applies when it reports a request's status to a program, as
// published in "Mapping NT status error codes to Win32 error codes" and the winerror /
// ntstatus reference pages. A status the mapping does not list gives ERROR_MR_MID_NOT_FOUND
// (the RtlNtStatusToDosError reference page): so do wait results, alerts and the
// framework's own facility, which never reach a program through this routine.
ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    struct mapping {
        NTSTATUS status;
        ULONG error;
    };
    static const mapping table[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_TIMEOUT, 1460},                   // ERROR_TIMEOUT
        {STATUS_PENDING, 997},                    // ERROR_IO_PENDING
        {STATUS_MORE_ENTRIES, 234},               // ERROR_MORE_DATA
        {STATUS_NOT_ALL_ASSIGNED, 1300},          // ERROR_NOT_ALL_ASSIGNED
        {STATUS_OBJECT_NAME_EXISTS, 183},         // ERROR_ALREADY_EXISTS
        {STATUS_BUFFER_OVERFLOW, 234},            // ERROR_MORE_DATA
        {STATUS_NO_MORE_FILES, 18},               // ERROR_NO_MORE_FILES
        {STATUS_DEVICE_BUSY, 170},                // ERROR_BUSY
        {STATUS_NO_MORE_ENTRIES, 259},            // ERROR_NO_MORE_ITEMS
        {STATUS_UNSUCCESSFUL, 31},                // ERROR_GEN_FAILURE
        {STATUS_NOT_IMPLEMENTED, 1},              // ERROR_INVALID_FUNCTION
        {STATUS_INVALID_INFO_CLASS, 87},          // ERROR_INVALID_PARAMETER
        {STATUS_INFO_LENGTH_MISMATCH, 24},        // ERROR_BAD_LENGTH
        {STATUS_ACCESS_VIOLATION, 998},           // ERROR_NOACCESS
        {STATUS_INVALID_HANDLE, 6},               // ERROR_INVALID_HANDLE
        {STATUS_INVALID_PARAMETER, 87},           // ERROR_INVALID_PARAMETER
        {STATUS_NO_SUCH_DEVICE, 2},               // ERROR_FILE_NOT_FOUND
        {STATUS_NO_SUCH_FILE, 2},                 // ERROR_FILE_NOT_FOUND
        {STATUS_INVALID_DEVICE_REQUEST, 1},       // ERROR_INVALID_FUNCTION
        {STATUS_END_OF_FILE, 38},                 // ERROR_HANDLE_EOF
        {STATUS_MORE_PROCESSING_REQUIRED, 234},   // ERROR_MORE_DATA
        {STATUS_NO_MEMORY, 8},                    // ERROR_NOT_ENOUGH_MEMORY
        {STATUS_ACCESS_DENIED, 5},                // ERROR_ACCESS_DENIED
        {STATUS_BUFFER_TOO_SMALL, 122},           // ERROR_INSUFFICIENT_BUFFER
        {STATUS_OBJECT_TYPE_MISMATCH, 6},         // ERROR_INVALID_HANDLE
        {STATUS_INVALID_PARAMETER_MIX, 87},       // ERROR_INVALID_PARAMETER
        {STATUS_OBJECT_NAME_INVALID, 123},        // ERROR_INVALID_NAME
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},        // ERROR_FILE_NOT_FOUND
        {STATUS_OBJECT_NAME_COLLISION, 183},      // ERROR_ALREADY_EXISTS
        {STATUS_PORT_DISCONNECTED, 6},            // ERROR_INVALID_HANDLE
        {STATUS_OBJECT_PATH_INVALID, 161},        // ERROR_BAD_PATHNAME
        {STATUS_OBJECT_PATH_NOT_FOUND, 3},        // ERROR_PATH_NOT_FOUND
        {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},     // ERROR_BAD_PATHNAME
        {STATUS_DATA_ERROR, 23},                  // ERROR_CRC
        {STATUS_SHARING_VIOLATION, 32},           // ERROR_SHARING_VIOLATION
        {STATUS_THREAD_IS_TERMINATING, 5},        // ERROR_ACCESS_DENIED
        {STATUS_DELETE_PENDING, 5},               // ERROR_ACCESS_DENIED
        {STATUS_INVALID_OWNER, 1307},             // ERROR_INVALID_OWNER
        {STATUS_PRIVILEGE_NOT_HELD, 1314},        // ERROR_PRIVILEGE_NOT_HELD
        {STATUS_INVALID_ACL, 1336},               // ERROR_INVALID_ACL
        {STATUS_INVALID_SID, 1337},               // ERROR_INVALID_SID
        {STATUS_INVALID_SECURITY_DESCR, 1338},    // ERROR_INVALID_SECURITY_DESCR
        {STATUS_PROCEDURE_NOT_FOUND, 127},        // ERROR_PROC_NOT_FOUND
        {STATUS_RESOURCE_DATA_NOT_FOUND, 1812},   // ERROR_RESOURCE_DATA_NOT_FOUND
        {STATUS_INTEGER_OVERFLOW, 534},           // ERROR_ARITHMETIC_OVERFLOW
        {STATUS_INSUFFICIENT_RESOURCES, 1450},    // ERROR_NO_SYSTEM_RESOURCES
        {STATUS_DEVICE_DATA_ERROR, 23},           // ERROR_CRC
        {STATUS_DEVICE_NOT_READY, 21},            // ERROR_NOT_READY
        {STATUS_IO_TIMEOUT, 121},                 // ERROR_SEM_TIMEOUT
        {STATUS_NOT_SUPPORTED, 50},               // ERROR_NOT_SUPPORTED
        {STATUS_DEVICE_DOES_NOT_EXIST, 55},       // ERROR_DEV_NOT_EXIST
        {STATUS_REQUEST_NOT_ACCEPTED, 71},        // ERROR_REQ_NOT_ACCEP
        {STATUS_INTERNAL_ERROR, 1359},            // ERROR_INTERNAL_ERROR
        {STATUS_INVALID_USER_BUFFER, 1784},       // ERROR_INVALID_USER_BUFFER
        {STATUS_INVALID_PARAMETER_1, 87},         // ERROR_INVALID_PARAMETER
        {STATUS_INVALID_PARAMETER_2, 87},         // ERROR_INVALID_PARAMETER
        {STATUS_INVALID_PARAMETER_3, 87},         // ERROR_INVALID_PARAMETER
        {STATUS_INVALID_PARAMETER_4, 87},         // ERROR_INVALID_PARAMETER
        {STATUS_NAME_TOO_LONG, 206},              // ERROR_FILENAME_EXCED_RANGE
        {STATUS_IMAGE_ALREADY_LOADED, 1056},      // ERROR_SERVICE_ALREADY_RUNNING
        {STATUS_CANCELLED, 995},                  // ERROR_OPERATION_ABORTED
        {STATUS_FILE_CLOSED, 6},                  // ERROR_INVALID_HANDLE
        {STATUS_INVALID_LEVEL, 124},              // ERROR_INVALID_LEVEL
        {STATUS_DEVICE_CONFIGURATION_ERROR, 87},  // ERROR_INVALID_PARAMETER
        {STATUS_DRIVER_INTERNAL_ERROR, 1117},     // ERROR_IO_DEVICE
        {STATUS_INVALID_DEVICE_STATE, 22},        // ERROR_BAD_COMMAND
        {STATUS_IO_DEVICE_ERROR, 1117},           // ERROR_IO_DEVICE
        {STATUS_INVALID_BUFFER_SIZE, 1784},       // ERROR_INVALID_USER_BUFFER
        {STATUS_CONNECTION_RESET, 64},            // ERROR_NETNAME_DELETED
        {STATUS_NOT_FOUND, 1168},                 // ERROR_NOT_FOUND
        {STATUS_RETRY, 1237},                     // ERROR_RETRY
        {STATUS_WMI_GUID_NOT_FOUND, 4200},        // ERROR_WMI_GUID_NOT_FOUND
        {STATUS_DEVICE_REMOVED, 1617},            // ERROR_DEVICE_REMOVED
        {STATUS_NOINTERFACE, 632},                // ERROR_NOINTERFACE
        {STATUS_WMI_NOT_SUPPORTED, 50},           // ERROR_NOT_SUPPORTED
        {STATUS_WMI_ALREADY_DISABLED, 4212},      // ERROR_WMI_ALREADY_DISABLED
        {STATUS_WMI_ALREADY_ENABLED, 4206},       // ERROR_WMI_ALREADY_ENABLED
    };
    for (const auto& m : table) {
        if (m.status == Status) {
            return m.error;
        }
    }
    // A Win32 error wrapped as an NTSTATUS (NTSTATUS_FROM_WIN32, facility 7) unwraps.
    if ((static_cast<ULONG>(Status) & 0xFFFF0000u) == 0xC0070000u) {
        return static_cast<ULONG>(Status) & 0xFFFF;
    }
    return 317;  // ERROR_MR_MID_NOT_FOUND
}

}  // extern "C"
