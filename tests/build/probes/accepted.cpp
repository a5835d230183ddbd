// Kernel code as the driver writes it: must compile with the kernel flags.
#include <ntddk.h>

struct PROBE_HOLDER {
    int Value;
    PROBE_HOLDER(const PROBE_HOLDER&) = delete;
};

extern "C" NTSTATUS ProbeEntry(PVOID Buffer, SIZE_T Size);

extern "C" NTSTATUS ProbeEntry(PVOID Buffer, SIZE_T Size) {
    if (Buffer == nullptr || Size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Buffer, Size);
    return STATUS_SUCCESS;
}
