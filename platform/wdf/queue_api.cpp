// The exported WdfIoQueue* routines: handle and configuration checks, then the queue.
#include <cstring>

#include "core/faults.h"
#include "wdf/file_object.h"
#include "wdf/io_dispatch.h"
#include "wdf/queue.h"
#include "wdf/request.h"

using namespace platform::wdf;
using platform::faults::fault_point;

namespace {

// Configurations of earlier framework versions end before Driver (1.9) and before Settings
// (1.7); their missing members keep the defaults WDF_IO_QUEUE_CONFIG_INIT would give.
constexpr size_t config_v1_9_size = offsetof(WDF_IO_QUEUE_CONFIG, Driver);
constexpr size_t config_v1_7_size = offsetof(WDF_IO_QUEUE_CONFIG, Settings);

}  // namespace

extern "C" {

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    if (auto st = fault_point("WdfIoQueueCreate"))
        return *st;
    fx_object* device =
        fx_object::get(reinterpret_cast<WDFOBJECT>(Device), fx_type::device, "WdfIoQueueCreate");
    if (Config == nullptr)
        violation("WdfIoQueueCreate: Config is NULL");
    if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) && Config->Size != config_v1_9_size &&
        Config->Size != config_v1_7_size) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (!Config->DefaultQueue && Queue == nullptr)
        return STATUS_INVALID_PARAMETER_4;
    WDF_IO_QUEUE_CONFIG c;
    WDF_IO_QUEUE_CONFIG_INIT(&c, Config->DispatchType);
    std::memcpy(&c, Config, Config->Size);
    if (Config->Size <= config_v1_7_size && c.DispatchType == WdfIoQueueDispatchParallel) {
        c.Settings.Parallel.NumberOfPresentedRequests = static_cast<ULONG>(-1);
    }
    if (c.DispatchType == WdfIoQueueDispatchParallel &&
        c.Settings.Parallel.NumberOfPresentedRequests == 0) {
        c.Settings.Parallel.NumberOfPresentedRequests = static_cast<ULONG>(-1);
    }
    fx_queue* q = nullptr;
    NTSTATUS st = fx_queue::create(io_package_of(device), &c, QueueAttributes, &q);
    if (!NT_SUCCESS(st))
        return st;
    if (Queue != nullptr)
        *Queue = q->handle_as<WDFQUEUE>();
    return STATUS_SUCCESS;
}

WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests) {
    return queue_from(Queue, "WdfIoQueueGetState")->state(QueueRequests, DriverRequests);
}

VOID WdfIoQueueStart(WDFQUEUE Queue) {
    queue_from(Queue, "WdfIoQueueStart")->start();
}

VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context) {
    queue_from(Queue, "WdfIoQueueStop")
        ->idle(false, StopComplete, Context, false, "WdfIoQueueStop");
}

VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
    queue_from(Queue, "WdfIoQueueStopSynchronously")
        ->idle(false, nullptr, nullptr, true, "WdfIoQueueStopSynchronously");
}

VOID WdfIoQueueStopAndPurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopAndPurgeComplete,
                            WDFCONTEXT Context) {
    queue_from(Queue, "WdfIoQueueStopAndPurge")
        ->idle(true, StopAndPurgeComplete, Context, false, "WdfIoQueueStopAndPurge");
}

VOID WdfIoQueueStopAndPurgeSynchronously(WDFQUEUE Queue) {
    queue_from(Queue, "WdfIoQueueStopAndPurgeSynchronously")
        ->idle(true, nullptr, nullptr, true, "WdfIoQueueStopAndPurgeSynchronously");
}

VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context) {
    queue_from(Queue, "WdfIoQueuePurge")
        ->purge(true, PurgeComplete, Context, false, "WdfIoQueuePurge");
}

VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
    queue_from(Queue, "WdfIoQueuePurgeSynchronously")
        ->purge(true, nullptr, nullptr, true, "WdfIoQueuePurgeSynchronously");
}

VOID WdfIoQueueDrain(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE DrainComplete, WDFCONTEXT Context) {
    queue_from(Queue, "WdfIoQueueDrain")
        ->purge(false, DrainComplete, Context, false, "WdfIoQueueDrain");
}

VOID WdfIoQueueDrainSynchronously(WDFQUEUE Queue) {
    queue_from(Queue, "WdfIoQueueDrainSynchronously")
        ->purge(false, nullptr, nullptr, true, "WdfIoQueueDrainSynchronously");
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    return queue_from(Queue, "WdfIoQueueGetDevice")->package()->device_handle();
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
    if (auto st = fault_point("WdfIoQueueRetrieveNextRequest"))
        return *st;
    fx_queue* q = queue_from(Queue, "WdfIoQueueRetrieveNextRequest");
    if (OutRequest == nullptr)
        violation("WdfIoQueueRetrieveNextRequest: OutRequest is NULL");
    *OutRequest = nullptr;
    fx_request* r = nullptr;
    NTSTATUS st = q->retrieve(nullptr, nullptr, &r);
    if (NT_SUCCESS(st))
        *OutRequest = r->handle_as<WDFREQUEST>();
    return st;
}

NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE Queue, WDFFILEOBJECT FileObject,
                                               WDFREQUEST* OutRequest) {
    if (auto st = fault_point("WdfIoQueueRetrieveRequestByFileObject"))
        return *st;
    fx_queue* q = queue_from(Queue, "WdfIoQueueRetrieveRequestByFileObject");
    auto* fo = fx_get<fx_file_object>(FileObject, fx_type::file_object,
                                      "WdfIoQueueRetrieveRequestByFileObject");
    if (OutRequest == nullptr)
        violation("WdfIoQueueRetrieveRequestByFileObject: OutRequest is NULL");
    *OutRequest = nullptr;
    fx_request* r = nullptr;
    NTSTATUS st = q->retrieve(fo->wdm(), nullptr, &r);
    if (NT_SUCCESS(st))
        *OutRequest = r->handle_as<WDFREQUEST>();
    return st;
}

NTSTATUS WdfIoQueueFindRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest, WDFFILEOBJECT FileObject,
                               PWDF_REQUEST_PARAMETERS Parameters, WDFREQUEST* OutRequest) {
    if (auto st = fault_point("WdfIoQueueFindRequest"))
        return *st;
    fx_queue* q = queue_from(Queue, "WdfIoQueueFindRequest");
    fx_request* after =
        FoundRequest ? fx_get<fx_request>(FoundRequest, fx_type::request, "WdfIoQueueFindRequest")
                     : nullptr;
    PFILE_OBJECT file = nullptr;
    if (FileObject != nullptr) {
        file = fx_get<fx_file_object>(FileObject, fx_type::file_object, "WdfIoQueueFindRequest")
                   ->wdm();
    }
    if (OutRequest == nullptr)
        violation("WdfIoQueueFindRequest: OutRequest is NULL");
    *OutRequest = nullptr;
    fx_request* r = nullptr;
    NTSTATUS st = q->find(after, file, &r);
    if (!NT_SUCCESS(st))
        return st;
    *OutRequest = r->handle_as<WDFREQUEST>();
    if (Parameters != nullptr)
        WdfRequestGetParameters(*OutRequest, Parameters);
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveFoundRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                        WDFREQUEST* OutRequest) {
    if (auto st = fault_point("WdfIoQueueRetrieveFoundRequest"))
        return *st;
    fx_queue* q = queue_from(Queue, "WdfIoQueueRetrieveFoundRequest");
    auto* found =
        fx_get<fx_request>(FoundRequest, fx_type::request, "WdfIoQueueRetrieveFoundRequest");
    if (OutRequest == nullptr)
        violation("WdfIoQueueRetrieveFoundRequest: OutRequest is NULL");
    *OutRequest = nullptr;
    fx_request* r = nullptr;
    NTSTATUS st = q->retrieve(nullptr, found, &r);
    if (NT_SUCCESS(st))
        *OutRequest = r->handle_as<WDFREQUEST>();
    return st;
}

NTSTATUS WdfIoQueueReadyNotify(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE QueueReady,
                               WDFCONTEXT Context) {
    if (auto st = fault_point("WdfIoQueueReadyNotify"))
        return *st;
    return queue_from(Queue, "WdfIoQueueReadyNotify")->ready_notify(QueueReady, Context);
}

}  // extern "C"
