#include "test_drivers.h"

#include <wdf.h>

#include <algorithm>
#include <cstring>

namespace {

struct store_context {
    UCHAR data[64];
    size_t length;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(store_context, store_of)

struct answer_context {
    ULONG answer;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(answer_context, answer_of)

VOID store_write(WDFQUEUE queue, WDFREQUEST request, size_t) {
    store_context* c = store_of(WdfIoQueueGetDevice(queue));
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
        return;
    }
    c->length = std::min(length, sizeof c->data);
    std::memcpy(c->data, buffer, c->length);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, c->length);
}

VOID store_read(WDFQUEUE queue, WDFREQUEST request, size_t) {
    store_context* c = store_of(WdfIoQueueGetDevice(queue));
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, 1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
        return;
    }
    size_t n = std::min(length, c->length);
    std::memcpy(buffer, c->data, n);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, n);
}

VOID answer_read(WDFQUEUE queue, WDFREQUEST request, size_t) {
    answer_context* c = answer_of(WdfIoQueueGetDevice(queue));
    PVOID buffer = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, sizeof(ULONG), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
        return;
    }
    std::memcpy(buffer, &c->answer, sizeof(ULONG));
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS default_queue(WDFDEVICE device, PFN_WDF_IO_QUEUE_IO_READ read,
                       PFN_WDF_IO_QUEUE_IO_WRITE write) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoRead = read;
    config.EvtIoWrite = write;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

NTSTATUS store_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, store_context);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceCreateDeviceInterface(device, &sim_test::store_class, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return default_queue(device, store_read, store_write);
}

NTSTATUS answer_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, answer_context);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDFKEY key;
    status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                      WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DECLARE_CONST_UNICODE_STRING(name, u"Answer");
    ULONG type = 0;
    status = WdfRegistryQueryValue(key, &name, sizeof(ULONG), &answer_of(device)->answer, nullptr,
                                   &type);
    WdfRegistryClose(key);
    if (!NT_SUCCESS(status) || type != REG_DWORD) {
        return NT_SUCCESS(status) ? STATUS_OBJECT_TYPE_MISMATCH : status;
    }
    DECLARE_CONST_UNICODE_STRING(reference, u"A");
    status = WdfDeviceCreateDeviceInterface(device, &sim_test::answer_class, &reference);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return default_queue(device, answer_read, nullptr);
}

NTSTATUS create_driver(PDRIVER_OBJECT driver, PUNICODE_STRING path, PFN_WDF_DRIVER_DEVICE_ADD add) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, add);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace

namespace sim_test {

NTSTATUS StoreDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return create_driver(driver, path, store_add);
}

NTSTATUS AnswerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return create_driver(driver, path, answer_add);
}

sim::driver_package store_package() {
    return {u"STORE", StoreDriverEntry, u"root\\STORE", {}, {}, {}};
}

sim::driver_package answer_package(ULONG answer) {
    sim::driver_package p{u"ANSWER", AnswerDriverEntry, u"root\\ANSWER", {}, {}, {}};
    p.hardware_key.emplace(u"Answer", platform::pnp::reg_dword(answer));
    p.interfaces.push_back({answer_class, u"A"});
    return p;
}

}  // namespace sim_test
