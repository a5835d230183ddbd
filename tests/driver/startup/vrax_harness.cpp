#include "vrax_harness.h"

#include <gtest/gtest.h>

#include "driver/driver.h"
#include "vrax_device.h"

namespace vrax_test {

namespace pnp = platform::pnp;
namespace io = platform::io;

harness::harness() = default;

harness::~harness() {
    if (node_ != nullptr && (pnp::state(node_) == pnp::device_state::started ||
                             pnp::state(node_) == pnp::device_state::sleeping)) {
        remove();
    }
    if (driver_ != nullptr && pnp::loaded(driver_))
        unload();
}

NTSTATUS harness::load() {
    if (driver_ == nullptr)
        driver_ = pnp::register_driver({u"vrax", DriverEntry, {}});
    return pnp::load_driver(driver_);
}

NTSTATUS harness::add_and_start(pnp::registry_values hardware_key) {
    node_ = pnp::add_device(driver_, {u"ROOT\\VRAX", std::move(hardware_key)});
    if (pnp::state(node_) == pnp::device_state::failed)
        return pnp::last_status(node_);
    return pnp::start_device(node_);
}

void harness::remove() {
    EXPECT_EQ(pnp::surprise_remove(node_, pnp::removal_after_surprise::at_once), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node_), pnp::device_state::removed);
}

NTSTATUS harness::unload() {
    return pnp::unload_driver(driver_);
}

void harness::set_interface_enabled(bool enabled) {
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(ControlDevice);
    WdfWaitLockAcquire(context->InterfaceLock, nullptr);
    InterlockedExchange(&context->InterfaceEnabled, enabled ? TRUE : FALSE);
    WdfWaitLockRelease(context->InterfaceLock);
}

open_handle::open_handle() {
    io::open_params params;
    params.desired_access = FILE_READ_DATA | FILE_WRITE_DATA;
    params.synchronous = false;
    auto result = io::open_file(u"\\Device\\VRAX", params);
    status_ = result.status;
    file_ = std::move(result.file);
}

open_handle::~open_handle() {
    if (NT_SUCCESS(status_))
        io::close_file(std::move(file_));
}

PFILE_OBJECT open_handle::file() const {
    return io::file_body(*file_);
}

std::shared_ptr<io::request> open_handle::start_control(ULONG code) {
    io::user_request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioctl_code = code;
    request.input = buffer_;
    request.input_length = sizeof buffer_;
    request.output = buffer_;
    request.output_length = sizeof buffer_;
    request.requestor_mode = KernelMode;
    auto started = io::start_request(file(), request);
    EXPECT_TRUE(started.sent);
    return started.req;
}

NTSTATUS open_handle::send(UCHAR major, ULONG code) {
    io::user_request request;
    request.major = major;
    request.ioctl_code = code;
    request.input = buffer_;
    request.input_length = sizeof buffer_;
    request.output = buffer_;
    request.output_length = sizeof buffer_;
    request.requestor_mode = KernelMode;
    auto started = io::start_request(file(), request);
    if (!started.sent)
        return started.status;
    return io::wait_request(started.req);
}

NTSTATUS open_handle::control(ULONG code) {
    return send(IRP_MJ_DEVICE_CONTROL, code);
}

NTSTATUS open_handle::read() {
    return send(IRP_MJ_READ, 0);
}

NTSTATUS open_handle::write() {
    return send(IRP_MJ_WRITE, 0);
}

bool event_signalled(PKEVENT event) {
    return KeReadStateEvent(event) != 0;
}

}  // namespace vrax_test
