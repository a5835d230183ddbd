// The I/O manager's open, close and request paths: what NtCreateFile, NtClose,
// NtReadFile, NtWriteFile, NtDeviceIoControlFile and NtCancelIoFile do for the Win32 subset,
// and the kernel-mode opens a framework I/O target makes.
//
// Opening: the name is resolved through the object namespace (symbolic links followed); the
// object found must be a device, the rest of the name becomes the file object's FileName. A
// device still initializing or deleted gives STATUS_NO_SUCH_DEVICE, an exclusive device
// already open STATUS_ACCESS_DENIED. A user-mode open is checked against the device's
// security descriptor with the caller's token (unless a file name follows the device's
// name and the device lacks FILE_DEVICE_SECURE_OPEN: then the driver checks). The
// IRP_MJ_CREATE goes to the top of the device's stack; when it fails no clean-up or close
// follows.
//
// Closing: when the last handle to a file object goes, IRP_MJ_CLEANUP is sent at once (it
// does not cancel the requests still pending), except that on a synchronous file object
// (opened without FILE_FLAG_OVERLAPPED) all I/O is serialised by the file object's lock: the
// clean-up, like a second request, waits until the request in progress has completed.
// IRP_MJ_CLOSE follows when the last reference
// goes (each pending IRP holds one). A close that falls due inside an IRP's completion, or
// above PASSIVE_LEVEL, is sent from the I/O manager's own worker thread instead, as Windows
// defers it rather than re-entering the driver from its own completion.
//
// Requests: buffered, whatever the transfer method. One system buffer holds a device
// control's input and, on completion, its output; a read's system buffer starts filled with
// 0xCC so a driver that reports bytes it never wrote is caught; past a device control's
// input the buffer is not initialised either (0xCC), as the I/O manager leaves it. At
// completion without an error status, min(Information, output length) bytes are copied back
// to the caller; a program's METHOD_BUFFERED control whose Information (success or warning)
// exceeds its output length is a bug check 0xC4, since Windows would copy that many; the
// system buffer is then filled with 0xF0 and quarantined, and a driver that wrote into it
// after completing the request is reported (bug check 0xC4, naming the IRP and the request's
// kind) when it leaves the quarantine or at the kernel's final check.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "io/irp.h"
#include "io/security.h"
#include "kernel/object_manager.h"

namespace platform {
struct thread_record;
}

namespace platform::io {

// ---- Opening and closing ----------------------------------------------------------------

struct open_params {
    ACCESS_MASK desired_access = 0;
    KPROCESSOR_MODE requestor_mode = KernelMode;  // KernelMode opens skip the access check
    const token* caller = nullptr;                // required for UserMode
    bool synchronous = true;                      // FO_SYNCHRONOUS_IO: I/O is serialised
    ULONG create_options = 0;                     // passed on in the create IRP
    USHORT share_access = 0;
    USHORT file_attributes = 0;  // FILE_ATTRIBUTE_*, passed on in the create IRP
};

struct open_result {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ob::ref<ob::object> file;  // the file object (kind file), one reference
    ACCESS_MASK granted = 0;   // the rights the handle gets
};

// Opens `path` ("\??\VRAX", "\Device\VRAX\sub"). On success the caller holds the file
// object's first reference; it stands for a handle: give it to a handle table (and drop
// the reference) or call close_file when done.
open_result open_file(std::u16string_view path, const open_params& params);

// For a file object that no handle refers to (a kernel-mode open that was never given a
// handle): sends the clean-up now and drops the caller's reference.
void close_file(ob::ref<ob::object> file);

// The FILE_OBJECT inside a file object, and back (NULL when `fo` is not a file object).
PFILE_OBJECT file_body(ob::object& file);
ob::ref<ob::object> reference_file(PFILE_OBJECT fo);

// The rights the file object was opened with.
ACCESS_MASK file_granted_access(PFILE_OBJECT fo);
bool file_is_synchronous(PFILE_OBJECT fo);
// FILE_OBJECT::CompletionContext of a file associated with a completion port (set by the
// Win32 layer) points at one of these; `release` runs when the file object is deleted.
struct completion_context {
    void (*release)(completion_context* self) = nullptr;
};

// Number of IRPs the I/O manager has sent on the file object that are not yet complete.
std::size_t pending_request_count(PFILE_OBJECT fo);

// ---- Requests ------------------------------------------------------------------------------

struct user_request {
    UCHAR major = IRP_MJ_READ;  // IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL
    ULONG ioctl_code = 0;
    const void* input = nullptr;
    ULONG input_length = 0;
    void* output = nullptr;
    ULONG output_length = 0;
    LONGLONG byte_offset = 0;
    KPROCESSOR_MODE requestor_mode = UserMode;
    const void* tag = nullptr;  // what a cancel can name the request by (an OVERLAPPED)
    void* process = nullptr;    // the issuing process, for cancels by handle
    // Called once, on the completing thread, after the output is copied back and before
    // waiters are released.
    std::function<void(NTSTATUS status, ULONG_PTR information)> on_complete;
};

struct request;  // an IRP the I/O manager sent and its bookkeeping

struct start_result {
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // what the dispatch routine returned (or the
                                            // failure that stopped the request being sent)
    bool sent = false;                      // an IRP went to the driver
    std::shared_ptr<request> req;           // set when sent
};

// Checks the file object's granted access (FILE_READ_DATA for reads, FILE_WRITE_DATA for
// writes, the access bits of a control code), builds the IRP and sends it to the top of the
// stack. On a synchronous file object the caller waits first until the file's previous
// request has finished.
start_result start_request(PFILE_OBJECT fo, user_request params);

// Blocks (through the scheduler) until the request is complete; returns its outcome.
NTSTATUS wait_request(const std::shared_ptr<request>& req, ULONG_PTR* information = nullptr);
bool request_done(const std::shared_ptr<request>& req);

// IoCancelIrp for every incomplete request matching all the given conditions (a null
// condition matches anything): sent on `fo`, by `process`, by `thread`, with `tag`.
// Returns how many requests matched.
std::size_t cancel_requests(PFILE_OBJECT fo, void* process, const thread_record* thread,
                            const void* tag);

// A thread is leaving: cancels the requests it issued and waits (up to five minutes of
// virtual time) for them to finish, as a thread's exit does on Windows.
void cancel_thread_requests(const thread_record* thread);
// The same for every request a process issued (the process is exiting).
void cancel_process_requests(void* process);

// ---- Sending IRPs from the platform ----------------------------------------------------------

// Calls the driver and waits (through the scheduler) for the IRP to complete. Returns the
// final status; the IRP's on_complete, if any, still runs first.
NTSTATUS send_irp_and_wait(PDEVICE_OBJECT device, PIRP irp);

}  // namespace platform::io
