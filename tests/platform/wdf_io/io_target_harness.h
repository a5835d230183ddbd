// Two framework drivers under the PnP manager for I/O target tests: a target driver whose
// device (\Device\IoTgt, linked as \DosDevices\IoTgt, open to LocalSystem only) echoes,
// records or pends what it is sent, and a client driver whose device owns the targets the
// tests create. Everything the target records is guarded by the scheduler lock.
#pragma once

#include <gtest/gtest.h>
#include <wdf.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "pnp/pnp_manager.h"
#include "wdf/sent_request.h"

namespace io_target_test {

namespace pnp = platform::pnp;
using platform::scheduler;

// Device controls the target understands.
constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kMemoryTag = 0x49546f6d;  // "moTI", the client's memory objects
constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Completes with more information than the output buffer holds (a misbehaving target).
constexpr ULONG kOverReport =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct target_record {
    std::vector<std::uint8_t> written;  // bytes of the last write
    int cancelled = 0;                  // pended requests whose cancel routine ran
    int pending = 0;                    // pended and not yet cancelled
};

inline target_record& record() {
    static target_record r;
    return r;
}
inline WDFDEVICE& client_device() {
    static WDFDEVICE d = nullptr;
    return d;
}

inline void note(const std::function<void()>& change) {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    change();
    s.wake();
}
inline bool wait_until(const std::function<bool()>& ready, std::int64_t ms = 5000) {
    auto& s = scheduler::get();
    platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(lk, ready, deadline, "test condition");
}

inline VOID TargetCancel(WDFREQUEST request) {
    note([] {
        ++record().cancelled;
        --record().pending;
    });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

inline void pend(WDFREQUEST request) {
    note([] { ++record().pending; });
    WdfRequestMarkCancelable(request, TargetCancel);
}

inline VOID TargetIoctl(WDFQUEUE, WDFREQUEST request, size_t out_len, size_t in_len, ULONG code) {
    if (code == kPend) {
        pend(request);
        return;
    }
    PVOID in = nullptr;
    PVOID out = nullptr;
    if (code == kOverReport) {
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, out_len + 64);
        return;
    }
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, 1, &in, nullptr)) ||
        !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, in_len, &out, nullptr))) {
        WdfRequestComplete(request, STATUS_BUFFER_TOO_SMALL);
        return;
    }
    // Buffered: input and output share one buffer; reverse in place.
    std::vector<std::uint8_t> copy(static_cast<std::uint8_t*>(in),
                                   static_cast<std::uint8_t*>(in) + in_len);
    for (size_t i = 0; i < in_len; ++i)
        static_cast<std::uint8_t*>(out)[i] = copy[in_len - 1 - i];
    (void)out_len;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, in_len);
}

inline VOID TargetRead(WDFQUEUE, WDFREQUEST request, size_t) {
    pend(request);  // reads never finish on their own: only a cancel ends them
}

inline VOID TargetWrite(WDFQUEUE, WDFREQUEST request, size_t length) {
    PVOID in = nullptr;
    NTSTATUS st = WdfRequestRetrieveInputBuffer(request, 1, &in, nullptr);
    if (NT_SUCCESS(st)) {
        auto* bytes = static_cast<std::uint8_t*>(in);
        note([&] { record().written.assign(bytes, bytes + length); });
    }
    WdfRequestCompleteWithInformation(request, st, NT_SUCCESS(st) ? length : 0);
}

inline NTSTATUS TargetDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    DECLARE_CONST_UNICODE_STRING(name, u"\\Device\\IoTgt");
    DECLARE_CONST_UNICODE_STRING(link, u"\\DosDevices\\IoTgt");
    DECLARE_CONST_UNICODE_STRING(sddl, u"D:P(A;;GA;;;SY)");
    NTSTATUS st = WdfDeviceInitAssignName(init, &name);
    if (NT_SUCCESS(st))
        st = WdfDeviceInitAssignSDDLString(init, &sddl);
    WDFDEVICE device = nullptr;
    if (NT_SUCCESS(st))
        st = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (NT_SUCCESS(st))
        st = WdfDeviceCreateSymbolicLink(device, &link);
    if (!NT_SUCCESS(st))
        return st;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = TargetIoctl;
    config.EvtIoRead = TargetRead;
    config.EvtIoWrite = TargetWrite;
    // Not power-managed: it keeps its requests through a surprise removal until the holder
    // of the handle cancels them.
    config.PowerManaged = WdfFalse;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

inline NTSTATUS TargetEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TargetDeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

inline NTSTATUS ClientDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &client_device());
}

inline NTSTATUS ClientEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ClientDeviceAdd);
    config.DriverPoolTag = 0x49436f74;  // "toCI"
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class target_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        record() = {};
        client_device() = nullptr;
        pnp::reset();
        target_drv = pnp::register_driver({u"iotgt", TargetEntry, {}});
        client_drv = pnp::register_driver({u"iocli", ClientEntry, {}});
        ASSERT_EQ(pnp::load_driver(target_drv), STATUS_SUCCESS);
        target_node = pnp::add_device(target_drv, {u"ROOT\\IOTGT", {}});
        ASSERT_EQ(pnp::start_device(target_node), STATUS_SUCCESS);
        // Loaded last, so calls from the test thread belong to the client driver.
        ASSERT_EQ(pnp::load_driver(client_drv), STATUS_SUCCESS);
        client_node = pnp::add_device(client_drv, {u"ROOT\\IOCLI", {}});
        ASSERT_EQ(pnp::start_device(client_node), STATUS_SUCCESS);
        platform::wdf::set_completion_context(platform::wdf::completion_context::never);
    }
    void TearDown() override {
        platform::wdf::set_completion_context(platform::wdf::completion_context::always);
        EXPECT_EQ(pnp::unload_driver(client_drv), STATUS_SUCCESS);
        EXPECT_EQ(pnp::unload_driver(target_drv), STATUS_SUCCESS);
        pnp::reset();
    }

    // A target on the client device, opened on `name` (or only created when `name` is null).
    WDFIOTARGET make_target(PCWSTR name = u"\\DosDevices\\IoTgt", NTSTATUS* open_status = nullptr) {
        WDFIOTARGET t = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(client_device(), WDF_NO_OBJECT_ATTRIBUTES, &t), STATUS_SUCCESS);
        if (name != nullptr) {
            UNICODE_STRING n;
            RtlInitUnicodeString(&n, name);
            WDF_IO_TARGET_OPEN_PARAMS params;
            WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &n, GENERIC_READ | GENERIC_WRITE);
            NTSTATUS st = WdfIoTargetOpen(t, &params);
            if (open_status != nullptr)
                *open_status = st;
            else
                EXPECT_EQ(st, STATUS_SUCCESS);
        }
        return t;
    }

    // A driver-created request formatted as a device control with a memory object.
    WDFREQUEST pended_ioctl(WDFIOTARGET t, WDFMEMORY* memory) {
        WDFREQUEST r = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_SUCCESS);
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kMemoryTag, 16, memory,
                                  nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(t, r, kPend, *memory, nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        return r;
    }

    pnp::driver* target_drv = nullptr;
    pnp::driver* client_drv = nullptr;
    pnp::device_node* target_node = nullptr;
    pnp::device_node* client_node = nullptr;
};

}  // namespace io_target_test
