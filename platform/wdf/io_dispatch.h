// The framework's I/O package of one device: how the framework handles the I/O request
// packets the I/O manager sends to a framework device (create, clean-up, close, read, write,
// device controls), which queue receives which kind of request, the device's file objects, and
// the hooks the device's Plug and Play and power handling calls so that power-managed queues
// stop and resume with the device and every queue is purged when the device goes away.
//
//     // WdfDeviceCreate, once the device object exists:
//     io_device_config cfg{.handle = device, .wdm = fdo, ...};
//     io_attach(fx_device, cfg);
//     // the driver's MajorFunction entries for create ... device control:
//     return io_dispatch(fx_device, irp);
//     // power and removal:
//     io_power_down(fx_device);  ... EvtDeviceD0Exit ...
//     ... EvtDeviceD0Entry ...   io_power_up(fx_device);
//     io_purge_power_managed(fx_device);  // surprise or graceful removal
//     io_remove(fx_device);      // final remove; then the device's object tree is deleted
#pragma once

#include <wdf.h>

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "wdf/fx_object.h"

namespace platform::wdf {

class fx_queue;
class fx_request;
class fx_file_object;

// What the device's set-up (WDFDEVICE_INIT) told the framework about I/O.
struct io_device_config {
    PDEVICE_OBJECT wdm = nullptr;  // the device object the IRPs arrive at
    bool exclusive = false;        // one open handle at a time
    // WdfDeviceInitSetFileObjectConfig; Size 0 = never called.
    WDF_FILEOBJECT_CONFIG file_config{};
    bool has_file_attributes = false;
    WDF_OBJECT_ATTRIBUTES file_attributes{};
    // WdfDeviceInitSetRequestAttributes.
    bool has_request_attributes = false;
    WDF_OBJECT_ATTRIBUTES request_attributes{};
};

// The I/O state of one framework device. Everything below is guarded by the scheduler lock
// unless noted.
class io_package {
  public:
    io_package(fx_object* device, const io_device_config& config);

    fx_object* device() const { return device_; }
    WDFDEVICE device_handle() const { return device_->handle_as<WDFDEVICE>(); }
    const io_device_config& config() const { return config_; }
    // The file-object class with the "can be optional" bit removed, and that bit.
    WDF_FILEOBJECT_CLASS file_class() const;
    bool file_optional() const;

    // Queues of the device, oldest first.
    std::vector<fx_queue*> queues;
    fx_queue* default_queue = nullptr;
    // Queue per major function configured with WdfDeviceConfigureRequestDispatching.
    std::array<fx_queue*, IRP_MJ_MAXIMUM_FUNCTION + 1> dispatch_table{};
    // Framework file objects by WDM file object.
    std::map<PFILE_OBJECT, fx_file_object*> files;
    long open_handles = 0;
    bool powered = true;         // new power-managed queues start powered on
    bool shutting_down = false;  // final remove: new queues accept nothing
    bool removing = false;       // the device's objects are being deleted: no file callbacks
    int file_calls = 0;          // file callbacks of the driver in progress

  private:
    fx_object* device_;
    io_device_config config_;
};

// Creates (or replaces the configuration of) the I/O package of `device`. A device whose
// set-up never called this gets an empty configuration on first use.
io_package* io_attach(fx_object* device, const io_device_config& config);
// The package of `device`, created with an empty configuration if needed.
io_package* io_package_of(fx_object* device);
// Forgets the package (when the device is destroyed).
void io_detach(fx_object* device);

// IRP_MJ_CREATE, CLEANUP, CLOSE, READ, WRITE, DEVICE_CONTROL and INTERNAL_DEVICE_CONTROL
// (every major function but Plug and Play and power). The IRP is completed now or later;
// returns STATUS_PENDING when it went to a queue or to the driver.
NTSTATUS io_dispatch(fx_object* device, PIRP irp);

// Before EvtDeviceD0Exit: power-managed queues stop presenting requests; the driver's
// EvtIoStop sees each request it owns (WdfRequestStopActionSuspend); returns when every one of
// them is acknowledged or completed.
void io_power_down(fx_object* device);
// After EvtDeviceD0Entry: EvtIoResume for each request suspended at power-down, then
// power-managed queues present requests again.
void io_power_up(fx_object* device);
// Which queues a removal purges: the power-managed ones when the device leaves the working
// state for good (surprise removal or the start of a graceful removal), every one at the
// final remove. Queues that are not power-managed keep taking and presenting requests in
// between.
enum class removal_purge { power_managed, all };
// Purging at removal: the queue stops accepting requests for good, queued requests are
// cancelled, driver-owned cancelable ones have their cancel routines run, EvtIoStop
// (WdfRequestStopActionPurge) sees the others; returns when each is completed or acknowledged.
void purge_for_removal(io_package* package, removal_purge which);
// Before EvtDeviceSelfManagedIoFlush (PnpCleanupForRemove): power-managed queues purged.
void io_purge_power_managed(fx_object* device);
// At the final remove, before EvtDeviceSelfManagedIoCleanup (PnpEventRemovedCommonCode):
// every queue not yet purged is purged; queues created later accept nothing.
void io_remove(fx_object* device);
// Before the device's object tree is deleted: waits for file callbacks in progress and
// starts no new ones (see fx_device::remove_device_object).
void io_begin_removal(fx_object* device);

// The default queue, or NULL.
WDFQUEUE io_default_queue(fx_object* device);

}  // namespace platform::wdf
