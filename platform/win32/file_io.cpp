// Files on devices: CreateFileW, reads, writes and device controls (synchronous or
// overlapped), overlapped results, cancellation, CloseHandle and the last error.
#include <wdm.h>
#include <windows.h>

#include "core/bugcheck.h"
#include "core/lock_tracker.h"
#include "io/io_manager.h"
#include "kernel/named_events.h"
#include "kernel/strings.h"
#include "win32/completion_port.h"
#include "win32/process.h"
#include "win32/win32_internal.h"

namespace platform::win32 {
namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// "\\.\X" and "\\?\X" name "\??\X"; any other name is looked up under "\??" as well, where
// drive letters would live.
std::u16string nt_path(std::u16string_view name) {
    if (name.starts_with(u"\\\\.\\") || name.starts_with(u"\\\\?\\")) {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    return u"\\??\\" + std::u16string(name);
}

std::optional<ULONG> nt_disposition(DWORD disposition) {
    switch (disposition) {
        case CREATE_NEW:
            return FILE_CREATE;
        case CREATE_ALWAYS:
            return FILE_OVERWRITE_IF;
        case OPEN_EXISTING:
            return FILE_OPEN;
        case OPEN_ALWAYS:
            return FILE_OPEN_IF;
        case TRUNCATE_EXISTING:
            return FILE_OVERWRITE;
        default:
            return std::nullopt;
    }
}

void store(ULONG_PTR& field, ULONG_PTR value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

ULONG_PTR load(const ULONG_PTR& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// The file object behind a handle of the calling process, or null (last error set).
ob::ref<ob::object> file_from_handle(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    ob::handle_entry e = current_process().handles().lookup(h);
    if (!e.obj || e.obj->type() != ob::kind::file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    return e.obj;
}

BOOL do_io(HANDLE h, io::user_request params, LPDWORD transferred, LPOVERLAPPED ov) {
    ob::ref<ob::object> file = file_from_handle(h);
    if (!file) {
        return FALSE;
    }
    if ((params.input == nullptr && params.input_length != 0) ||
        (params.output == nullptr && params.output_length != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    PFILE_OBJECT fo = io::file_body(*file);
    const bool synchronous = io::file_is_synchronous(fo) || ov == nullptr;
    if (transferred != nullptr && synchronous) {
        *transferred = 0;
    }
    process& proc = current_process();
    ob::ref<kernel::event_object> event;
    if (ov != nullptr) {
        if (overlapped_event(ov) != nullptr) {
            event = event_from_handle(overlapped_event(ov), 0);
            if (!event) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            KeClearEvent(event->event());
        }
        params.byte_offset =
            static_cast<LONGLONG>(ov->Offset) | (static_cast<LONGLONG>(ov->OffsetHigh) << 32);
        store(ov->InternalHigh, 0);
        store(ov->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)));
    }
    params.requestor_mode = UserMode;
    params.tag = ov;
    params.process = &proc;
    std::shared_ptr<completion_notice> notice = synchronous ? nullptr : completion_for(fo, ov);
    params.on_complete = [ov, event, notice](NTSTATUS status, ULONG_PTR information) {
        if (ov != nullptr) {
            store(ov->InternalHigh, information);
            store(ov->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)));
        }
        if (event) {
            KeSetEvent(event->event(), 0, FALSE);
        }
        if (notice) {
            notice->completed(status, information);
        }
    };
    io::start_result r = io::start_request(fo, std::move(params));
    if (notice) {
        notice->started(r.sent, r.sent && r.status == STATUS_PENDING);
    }
    if (!r.sent) {
        set_status_error(r.status);
        return FALSE;
    }
    if (!synchronous && r.status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = io::wait_request(r.req, &information);
    if (transferred != nullptr && !NT_ERROR(status)) {
        *transferred = static_cast<DWORD>(information);
    }
    if (!NT_SUCCESS(status)) {
        set_status_error(status);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

program_return::~program_return() {
    std::size_t held = lock_tracker::held_count();
    if (held != 0) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(routine_) + " returned to the program with " + std::to_string(held) +
                      " lock(s) still held that driver code took on the program's thread",
                  0x4, held);
    }
    KIRQL irql = scheduler::get().current().irql;
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(routine_) + " returned to the program at IRQL " +
                      std::to_string(irql) +
                      ": driver code on the program's thread raised it and did not lower it",
                  irql);
    }
}

void set_status_error(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
}

HANDLE create_file(std::u16string_view name, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags) {
    auto nt_disp = nt_disposition(disposition);
    if (!nt_disp || name.empty()) {
        SetLastError(name.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    process& proc = current_process();
    const bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    io::open_params p;
    // As the Win32 layer always does: a handle can wait on the file and read its attributes.
    p.desired_access = access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    p.requestor_mode = UserMode;
    p.caller = &proc.token();
    p.synchronous = !overlapped;
    p.create_options = (*nt_disp << 24) | FILE_NON_DIRECTORY_FILE |
                       (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    p.share_access = static_cast<USHORT>(share);
    // The attribute bits of dwFlagsAndAttributes (FILE_ATTRIBUTE_VALID_FLAGS less
    // FILE_ATTRIBUTE_DIRECTORY), as CreateFileW passes them to NtCreateFile.
    constexpr DWORD create_attribute_bits = 0x7fb7 & ~0x10u;
    p.file_attributes = static_cast<USHORT>(flags & create_attribute_bits);
    io::open_result r = io::open_file(nt_path(name), p);
    if (!NT_SUCCESS(r.status)) {
        set_status_error(r.status);
        return INVALID_HANDLE_VALUE;
    }
    io::file_body(*r.file)->Flags |= FO_HANDLE_CREATED;
    HANDLE h = proc.handles().insert(r.file, r.granted);
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE create_file_wide(const wchar_t* name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                        DWORD disposition, DWORD flags, HANDLE) {
    program_return check("CreateFileW");
    if (name == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return create_file(io::from_wide(name), access, share, disposition, flags);
}

}  // namespace platform::win32

using namespace platform;

extern "C" {

DWORD GetLastError(void) {
    return win32::last_error;
}

void SetLastError(DWORD dwErrCode) {
    win32::last_error = dwErrCode;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    win32::program_return check("CreateFileW");
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return win32::create_file(kernel::view(lpFileName), dwDesiredAccess, dwShareMode,
                              dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL CloseHandle(HANDLE hObject) {
    win32::program_return check("CloseHandle");
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    NTSTATUS st = win32::current_process().handles().close(hObject);
    if (!NT_SUCCESS(st)) {
        win32::set_status_error(st);
        return FALSE;
    }
    return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    win32::program_return check("DeviceIoControl");
    io::user_request r;
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.ioctl_code = dwIoControlCode;
    r.input = lpInBuffer;
    r.input_length = nInBufferSize;
    r.output = lpOutBuffer;
    r.output_length = nOutBufferSize;
    return win32::do_io(hDevice, std::move(r), lpBytesReturned, lpOverlapped);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    win32::program_return check("ReadFile");
    io::user_request r;
    r.major = IRP_MJ_READ;
    r.output = lpBuffer;
    r.output_length = nNumberOfBytesToRead;
    return win32::do_io(hFile, std::move(r), lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    win32::program_return check("WriteFile");
    io::user_request r;
    r.major = IRP_MJ_WRITE;
    r.input = lpBuffer;
    r.input_length = nNumberOfBytesToWrite;
    return win32::do_io(hFile, std::move(r), lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    win32::program_return check("GetOverlappedResult");
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto pending = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    if (win32::load(lpOverlapped->Internal) == pending) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!win32::file_from_handle(hFile)) {
            return FALSE;
        }
        // Completion stores the status and then wakes waiters under the scheduler lock.
        auto& s = scheduler::get();
        std::unique_lock lk(s.lock());
        std::function<bool()> done = [lpOverlapped] {
            return win32::load(lpOverlapped->Internal) != pending;
        };
        s.block(lk, done, no_deadline, "an overlapped request to complete");
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(win32::load(lpOverlapped->InternalHigh));
    }
    auto status = static_cast<NTSTATUS>(static_cast<ULONG>(win32::load(lpOverlapped->Internal)));
    if (!NT_SUCCESS(status)) {
        win32::set_status_error(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    win32::program_return check("CancelIoEx");
    ob::ref<ob::object> file = win32::file_from_handle(hFile);
    if (!file) {
        return FALSE;
    }
    std::size_t n =
        io::cancel_requests(io::file_body(*file), &win32::current_process(), nullptr, lpOverlapped);
    if (n == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    win32::program_return check("CancelIo");
    ob::ref<ob::object> file = win32::file_from_handle(hFile);
    if (!file) {
        return FALSE;
    }
    io::cancel_requests(io::file_body(*file), &win32::current_process(),
                        &scheduler::get().current(), nullptr);
    return TRUE;
}

}  // extern "C"
