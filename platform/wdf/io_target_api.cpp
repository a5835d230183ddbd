// The exported WdfIoTarget* routines and the WDFREQUEST routines of driver-created requests:
// handle, size and IRQL checks, then the target and request objects do the work.
#include <cstring>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "wdf/fx_device.h"
#include "wdf/fx_memory.h"
#include "wdf/io_target.h"
#include "wdf/sent_request.h"

using namespace platform;
using namespace platform::wdf;
using platform::faults::fault_point;

namespace {

constexpr ULONG valid_send_flags =
    WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;
constexpr ULONG reuse_must_complete = WDF_REQUEST_REUSE_MUST_COMPLETE;

void require_irql(std::uint8_t max, const char* routine) {
    std::uint8_t irql = scheduler::get().current().irql;
    if (irql > max) {
        std::string call = verifier::describe_current_call();
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(routine) + " called at IRQL " + std::to_string(irql) +
                      " (it needs IRQL " + std::to_string(max) + " or lower)" +
                      (call.empty() ? "" : " " + call),
                  irql, max);
    }
}

// FxValidateRequestOptions.
NTSTATUS validate_options(const WDF_REQUEST_SEND_OPTIONS* options) {
    if (options == nullptr)
        return STATUS_SUCCESS;
    if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if ((options->Flags & ~valid_send_flags) != 0)
        return STATUS_INVALID_PARAMETER;
    if ((options->Flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0 &&
        (options->Flags & ~ULONG(WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) != 0)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// A memory object's part given by `offsets` (IFxMemory::ValidateMemoryOffsets; a length of
// zero means "to the end"). Takes a reference on the memory object on success.
NTSTATUS memory_part(WDFMEMORY handle, const WDFMEMORY_OFFSET* offsets, transfer_buffer* out,
                     const char* routine) {
    auto* m = fx_get<fx_memory>(handle, fx_type::memory, routine);
    size_t offset = 0;
    size_t length = m->size;
    if (offsets != nullptr) {
        size_t total = offsets->BufferOffset + offsets->BufferLength;
        if (total < offsets->BufferOffset || total > m->size)
            return STATUS_INTEGER_OVERFLOW;
        offset = offsets->BufferOffset;
        length = offsets->BufferLength != 0 ? offsets->BufferLength : m->size - offset;
    }
    m->add_ref();
    out->memory = m;
    out->data = static_cast<std::uint8_t*>(m->buffer) + offset;
    out->length = length;
    out->offset = offset;
    return STATUS_SUCCESS;
}

// FxRequestBuffer::ValidateMemoryDescriptor.
NTSTATUS from_descriptor(const WDF_MEMORY_DESCRIPTOR* d, transfer_buffer* out,
                         const char* routine) {
    *out = {};
    if (d == nullptr)
        return STATUS_SUCCESS;
    switch (d->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            if (d->u.BufferType.Buffer == nullptr && d->u.BufferType.Length != 0)
                return STATUS_INVALID_PARAMETER;
            out->data = static_cast<std::uint8_t*>(d->u.BufferType.Buffer);
            out->length = d->u.BufferType.Length;
            return STATUS_SUCCESS;
        case WdfMemoryDescriptorTypeHandle:
            if (d->u.HandleType.Memory == nullptr)
                return STATUS_INVALID_PARAMETER;
            return memory_part(d->u.HandleType.Memory, d->u.HandleType.Offsets, out, routine);
        case WdfMemoryDescriptorTypeMdl:
            not_implemented(std::string(routine) + " with an MDL memory descriptor");
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

void drop(transfer_buffer& b) {
    if (b.memory != nullptr)
        b.memory->release();
    b = {};
}

// FxIoTargetSendIo and FxIoTargetSendIoctl: format the given request (or a framework one) and
// send it synchronously. `BytesReturned` gets the information value whatever the outcome.
NTSTATUS send_synchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, UCHAR major, ULONG code,
                            PWDF_MEMORY_DESCRIPTOR input, PWDF_MEMORY_DESCRIPTOR output,
                            PLONGLONG offset, PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytes,
                            const char* routine) {
    if (auto st = fault_point(routine))
        return *st;
    fx_io_target* t = fx_io_target::from(IoTarget, routine);
    if (bytes != nullptr)
        *bytes = 0;
    fx_sent_request* r = nullptr;
    if (Request != nullptr)
        r = fx_sent_request::from(Request, routine);
    require_irql(PASSIVE_LEVEL, routine);
    NTSTATUS st = validate_options(options);
    if (!NT_SUCCESS(st))
        return st;
    transfer_buffer in, out;
    st = from_descriptor(input, &in, routine);
    if (NT_SUCCESS(st))
        st = from_descriptor(output, &out, routine);
    if (!NT_SUCCESS(st)) {
        drop(in);
        drop(out);
        return st;
    }
    bool own = r == nullptr;
    if (own) {
        // The framework's own request for this send (FxSyncRequest), deleted afterwards.
        r = nullptr;
        st = fx_sent_request::create(nullptr, nullptr, &r);
        if (!NT_SUCCESS(st)) {
            drop(in);
            drop(out);
            return st;
        }
    }
    st = r->format(t, major, code, in, out, offset != nullptr ? *offset : 0, routine);
    if (NT_SUCCESS(st)) {
        r->set_completion_routine(nullptr, nullptr);  // replaced by the send's own wait
        st = t->submit_sync(r, options, false, routine);
        if (bytes != nullptr)
            *bytes = WdfRequestGetInformation(r->handle_as<WDFREQUEST>());
    }
    if (own)
        r->delete_object();
    return st;
}

NTSTATUS format_request(WDFIOTARGET IoTarget, WDFREQUEST Request, UCHAR major, ULONG code,
                        WDFMEMORY input, PWDFMEMORY_OFFSET input_offsets, WDFMEMORY output,
                        PWDFMEMORY_OFFSET output_offsets, PLONGLONG device_offset,
                        const char* routine) {
    if (auto st = fault_point(routine))
        return *st;
    fx_io_target* t = fx_io_target::from(IoTarget, routine);
    fx_sent_request* r = fx_sent_request::from(Request, routine);
    require_irql(DISPATCH_LEVEL, routine);
    transfer_buffer in, out;
    NTSTATUS st = STATUS_SUCCESS;
    if (input != nullptr)
        st = memory_part(input, input_offsets, &in, routine);
    if (NT_SUCCESS(st) && output != nullptr)
        st = memory_part(output, output_offsets, &out, routine);
    if (!NT_SUCCESS(st)) {
        drop(in);
        drop(out);
        return st;
    }
    return r->format(t, major, code, in, out, device_offset != nullptr ? *device_offset : 0,
                     routine);
}

}  // namespace

extern "C" {

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget) {
    if (auto st = fault_point("WdfIoTargetCreate"))
        return *st;
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfIoTargetCreate");
    if (IoTarget == nullptr)
        violation("WdfIoTargetCreate: IoTarget is NULL");
    *IoTarget = nullptr;
    require_irql(PASSIVE_LEVEL, "WdfIoTargetCreate");
    NTSTATUS st = validate_attributes(IoTargetAttributes, attr_none);
    if (!NT_SUCCESS(st))
        return st;
    if (IoTargetAttributes != nullptr && IoTargetAttributes->ParentObject != nullptr) {
        // FxIoTargetRemote::_Create: a parent of the driver's choosing must descend from
        // the same device.
        fx_object* p = fx_object::get(IoTargetAttributes->ParentObject, "WdfIoTargetCreate");
        while (p != nullptr && p != device)
            p = p->parent();
        if (p == nullptr)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* t = new fx_io_target();
    t->device = device;
    st = t->commit(IoTargetAttributes, device, attr_none);
    if (!NT_SUCCESS(st)) {
        fx_object::discard(t);
        return st;
    }
    *IoTarget = t->handle_as<WDFIOTARGET>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams) {
    if (auto st = fault_point("WdfIoTargetOpen"))
        return *st;
    fx_io_target* t = fx_io_target::from(IoTarget, "WdfIoTargetOpen");
    if (OpenParams == nullptr)
        violation("WdfIoTargetOpen: OpenParams is NULL");
    require_irql(PASSIVE_LEVEL, "WdfIoTargetOpen");
    if (OpenParams->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS))
        return STATUS_INFO_LENGTH_MISMATCH;
    // FxIoTargetValidateOpenParams.
    switch (OpenParams->Type) {
        case WdfIoTargetOpenUseExistingDevice:
            if (OpenParams->TargetDeviceObject == nullptr)
                return STATUS_INVALID_PARAMETER;
            if (OpenParams->TargetFileObject == nullptr &&
                (OpenParams->EvtIoTargetQueryRemove != nullptr ||
                 OpenParams->EvtIoTargetRemoveCanceled != nullptr ||
                 OpenParams->EvtIoTargetRemoveComplete != nullptr))
                return STATUS_INVALID_PARAMETER;
            break;
        case WdfIoTargetOpenByName:
            if (OpenParams->TargetDeviceName.Buffer == nullptr ||
                OpenParams->TargetDeviceName.Length == 0 ||
                OpenParams->TargetDeviceName.MaximumLength == 0)
                return STATUS_INVALID_PARAMETER;
            break;
        case WdfIoTargetOpenReopen:
            break;
        default:  // WdfIoTargetOpenLocalTargetByFile is for user-mode drivers only
            return STATUS_INVALID_PARAMETER;
    }
    return t->open(*OpenParams);
}

VOID WdfIoTargetCloseForQueryRemove(WDFIOTARGET IoTarget) {
    fx_io_target* t = fx_io_target::from(IoTarget, "WdfIoTargetCloseForQueryRemove");
    require_irql(PASSIVE_LEVEL, "WdfIoTargetCloseForQueryRemove");
    t->close(fx_io_target::close_reason::query_remove);
}

VOID WdfIoTargetClose(WDFIOTARGET IoTarget) {
    fx_io_target* t = fx_io_target::from(IoTarget, "WdfIoTargetClose");
    require_irql(PASSIVE_LEVEL, "WdfIoTargetClose");
    t->close(fx_io_target::close_reason::plain);
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget) {
    return fx_io_target::from(IoTarget, "WdfIoTargetGetState")->state();
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    fx_io_target* t = fx_io_target::from(IoTarget, "WdfIoTargetGetDevice");
    return t->device->handle_as<WDFDEVICE>();
}

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget) {
    return fx_io_target::from(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject")->target_device();
}

PFILE_OBJECT WdfIoTargetWdmGetTargetFileObject(WDFIOTARGET IoTarget) {
    return fx_io_target::from(IoTarget, "WdfIoTargetWdmGetTargetFileObject")->target_file();
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET) {
    not_implemented("WdfIoTargetStart");
}

VOID WdfIoTargetStop(WDFIOTARGET, WDF_IO_TARGET_SENT_IO_ACTION) {
    not_implemented("WdfIoTargetStop");
}

VOID WdfIoTargetPurge(WDFIOTARGET, WDF_IO_TARGET_PURGE_IO_ACTION) {
    not_implemented("WdfIoTargetPurge");
}

NTSTATUS WdfIoTargetSendReadSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                          PLONGLONG DeviceOffset,
                                          PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                          PULONG_PTR BytesRead) {
    return send_synchronously(IoTarget, Request, IRP_MJ_READ, 0, nullptr, OutputBuffer,
                              DeviceOffset, RequestOptions, BytesRead,
                              "WdfIoTargetSendReadSynchronously");
}

NTSTATUS WdfIoTargetSendWriteSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PLONGLONG DeviceOffset,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesWritten) {
    return send_synchronously(IoTarget, Request, IRP_MJ_WRITE, 0, InputBuffer, nullptr,
                              DeviceOffset, RequestOptions, BytesWritten,
                              "WdfIoTargetSendWriteSynchronously");
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                           ULONG IoctlCode, PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesReturned) {
    return send_synchronously(IoTarget, Request, IRP_MJ_DEVICE_CONTROL, IoctlCode, InputBuffer,
                              OutputBuffer, nullptr, RequestOptions, BytesReturned,
                              "WdfIoTargetSendIoctlSynchronously");
}

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset) {
    return format_request(IoTarget, Request, IRP_MJ_READ, 0, nullptr, nullptr, OutputBuffer,
                          OutputBufferOffset, DeviceOffset, "WdfIoTargetFormatRequestForRead");
}

NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          PLONGLONG DeviceOffset) {
    return format_request(IoTarget, Request, IRP_MJ_WRITE, 0, InputBuffer, InputBufferOffset,
                          nullptr, nullptr, DeviceOffset, "WdfIoTargetFormatRequestForWrite");
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer,
                                          PWDFMEMORY_OFFSET OutputBufferOffset) {
    return format_request(IoTarget, Request, IRP_MJ_DEVICE_CONTROL, IoctlCode, InputBuffer,
                          InputBufferOffset, OutputBuffer, OutputBufferOffset, nullptr,
                          "WdfIoTargetFormatRequestForIoctl");
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
    if (auto st = fault_point("WdfRequestCreate"))
        return *st;
    fx_io_target* t =
        IoTarget != nullptr ? fx_io_target::from(IoTarget, "WdfRequestCreate") : nullptr;
    if (Request == nullptr)
        violation("WdfRequestCreate: Request is NULL");
    *Request = nullptr;
    fx_sent_request* r = nullptr;
    NTSTATUS st = fx_sent_request::create(RequestAttributes, t, &r);
    if (NT_SUCCESS(st))
        *Request = r->handle_as<WDFREQUEST>();
    return st;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    if (auto st = fault_point("WdfRequestReuse"))
        return *st;
    fx_sent_request* r = fx_sent_request::from(Request, "WdfRequestReuse");
    if (ReuseParams == nullptr)
        violation("WdfRequestReuse: ReuseParams is NULL");
    if (ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS))
        return STATUS_INVALID_PARAMETER;
    if ((ReuseParams->Flags & ~ULONG(WDF_REQUEST_REUSE_SET_NEW_IRP | reuse_must_complete)) != 0)
        return STATUS_INVALID_PARAMETER;
    if (ReuseParams->Flags != 0)
        not_implemented("WdfRequestReuse with a new IRP or WDF_REQUEST_REUSE_MUST_COMPLETE");
    return r->reuse(*ReuseParams);
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    fx_sent_request* r = fx_sent_request::from(Request, "WdfRequestSend");
    auto fail = [r](NTSTATUS st) {
        PIRP p = r->irp();
        std::lock_guard g(p->cancel_lock);
        p->status = st;
        return FALSE;
    };
    if (!NT_SUCCESS(validate_options(Options)))
        return fail(STATUS_INVALID_PARAMETER);
    fx_io_target* t = fx_io_target::from(Target, "WdfRequestSend");
    if (auto st = fault_point("WdfRequestSend"))
        return fail(*st);
    ULONG flags = Options != nullptr ? Options->Flags : 0;
    if (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)
        return fail(STATUS_INVALID_DEVICE_STATE);  // only for requests a queue presented
    if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) {
        // The outcome is in WdfRequestGetStatus; FALSE when the request never reached the
        // target (FxIoTarget::SubmitSync without SubmitSent).
        bool sent = false;
        (void)t->submit_sync(r, Options, true, "WdfRequestSend", &sent);
        return sent ? TRUE : FALSE;
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout != 0)
        not_implemented("WdfRequestSend with a time-out on an asynchronous send");
    require_irql(DISPATCH_LEVEL, "WdfRequestSend");
    return t->submit(r, Options, "WdfRequestSend") ? TRUE : FALSE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    fx_sent_request* r = fx_sent_request::from(Request, "WdfRequestCancelSentRequest");
    return r->cancel_sent() ? TRUE : FALSE;
}

VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    fx_sent_request* r = fx_sent_request::from(Request, "WdfRequestSetCompletionRoutine");
    r->set_completion_routine(CompletionRoutine, CompletionContext);
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    fx_sent_request* r = fx_sent_request::from(Request, "WdfRequestGetCompletionParams");
    if (Params == nullptr || Params->Size != sizeof(WDF_REQUEST_COMPLETION_PARAMS)) {
        violation(
            "WdfRequestGetCompletionParams: WDF_REQUEST_COMPLETION_PARAMS not initialised "
            "with WDF_REQUEST_COMPLETION_PARAMS_INIT");
    }
    r->completion_params(Params);
}

}  // extern "C"
