// Remote I/O targets against a framework target driver: open by name, synchronous controls
// and reads with time-outs, asynchronous writes with completion routines, close and removal
// of the target device, reuse, deletion with the parent, and fault injection.
#include "io_target_harness.h"

#include "core/faults.h"
#include "io/device_objects.h"

using namespace io_target_test;
namespace wdf = platform::wdf;

namespace {

struct completion_log {
    int calls = 0;
    WDF_REQUEST_COMPLETION_PARAMS params{};
    KIRQL irql = 0;
    std::uint64_t thread = 0;
    bool resend = false;  // resend once from the routine
};

VOID LogCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                   WDFCONTEXT context) {
    auto* log = static_cast<completion_log*>(context);
    KIRQL irql = KeGetCurrentIrql();
    std::uint64_t id = scheduler::get().current().id;
    note([&] {
        ++log->calls;
        log->params = *params;
        log->irql = irql;
        log->thread = id;
    });
}

using IoTargetOpen = target_fixture;

// A kernel-mode open is not checked against the device's security (LocalSystem only here);
// a name that resolves to nothing fails as the object manager reports it.
TEST_F(IoTargetOpen, ByNameFollowsTheLinkAndSkipsTheAccessCheckOfAKernelOpen) {
    WDFIOTARGET t = make_target();
    PDEVICE_OBJECT top = WdfIoTargetWdmGetTargetDeviceObject(t);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top, pnp::function_device(target_node));
    ASSERT_NE(WdfIoTargetWdmGetTargetFileObject(t), nullptr);
    EXPECT_EQ(WdfIoTargetWdmGetTargetFileObject(t)->DeviceObject, top);
    EXPECT_EQ(WdfIoTargetGetState(t), WdfIoTargetStarted);
    EXPECT_EQ(WdfIoTargetGetDevice(t), client_device());
    EXPECT_EQ(platform::io::open_file_count(top), 1u);

    // Opening an open target again is refused; closing lets the file object go.
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, u"\\DosDevices\\IoTgt");
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &n, GENERIC_READ);
    EXPECT_EQ(WdfIoTargetOpen(t, &params), STATUS_INVALID_DEVICE_STATE);
    WdfIoTargetClose(t);
    EXPECT_EQ(platform::io::open_file_count(top), 0u);
    EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(t), nullptr);
    EXPECT_EQ(WdfIoTargetOpen(t, &params), STATUS_SUCCESS);  // a closed target opens again
    params.Size -= 4;
    WdfIoTargetClose(t);
    EXPECT_EQ(WdfIoTargetOpen(t, &params), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(IoTargetOpen, UnknownNameFailsAndLeavesTheTargetClosed) {
    NTSTATUS st = STATUS_SUCCESS;
    WDFIOTARGET t = make_target(u"\\DosDevices\\NoSuchDevice", &st);
    EXPECT_EQ(st, STATUS_OBJECT_NAME_NOT_FOUND);
    WDFREQUEST r = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_INVALID_DEVICE_STATE);
    ULONG_PTR bytes = 1;
    EXPECT_EQ(
        WdfIoTargetSendIoctlSynchronously(t, nullptr, kEcho, nullptr, nullptr, nullptr, &bytes),
        STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(bytes, 0u);
}

using IoTargetSync = target_fixture;

TEST_F(IoTargetSync, IoctlRoundTripReturnsTheInformation) {
    WDFIOTARGET t = make_target();
    std::uint8_t in[4] = {1, 2, 3, 4};
    std::uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    WDF_MEMORY_DESCRIPTOR din, dout;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&din, in, sizeof in);
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, out, sizeof out);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(t, nullptr, kEcho, &din, &dout, nullptr, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    // Only the bytes the target reported come back; the rest of the buffer is untouched.
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6),
              (std::vector<std::uint8_t>{4, 3, 2, 1, 0xEE, 0xEE}));

    // With a memory object and offsets into it, and with a request of the driver's.
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kMemoryTag, 8, &memory, &buffer),
        STATUS_SUCCESS);
    WDFMEMORY_OFFSET offsets{2, 3};
    WDF_MEMORY_DESCRIPTOR dmem;
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&dmem, memory, &offsets);
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(t, r, kEcho, &din, &dmem, nullptr, &bytes),
              STATUS_BUFFER_TOO_SMALL);  // 3 bytes of output for 4 of input
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_BUFFER_TOO_SMALL);
    WdfObjectDelete(r);
    WdfObjectDelete(memory);
}

// A target that reports more than the output buffer holds gets no more than the buffer.
TEST_F(IoTargetSync, OverReportedInformationNeverOverrunsTheCallersBuffer) {
    WDFIOTARGET t = make_target();
    std::uint8_t frame[8] = {};
    std::memset(frame, 0x5A, sizeof frame);
    WDF_MEMORY_DESCRIPTOR dout;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, frame, 4);  // the last 4 bytes are a guard
    ULONG_PTR bytes = 0;
    EXPECT_EQ(
        WdfIoTargetSendIoctlSynchronously(t, nullptr, kOverReport, nullptr, &dout, nullptr, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u + 64u);
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(frame[i], 0x5A) << i;
}

// The time-out cancels the read in the target, waits for it to come back, and reports
// STATUS_IO_TIMEOUT; relative and absolute time-outs both count in virtual time.
TEST_F(IoTargetSync, ReadTimeOutCancelsTheReadInTheTarget) {
    WDFIOTARGET t = make_target();
    std::uint8_t buf[8];
    WDF_MEMORY_DESCRIPTOR d;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, buf, sizeof buf);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(250));
    std::int64_t before = platform::now_ms();
    ULONG_PTR bytes = 9;
    EXPECT_EQ(WdfIoTargetSendReadSynchronously(t, nullptr, &d, nullptr, &options, &bytes),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(platform::now_ms() - before, 250);
    EXPECT_EQ(bytes, 0u);
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_EQ(record().cancelled, 1);
        EXPECT_EQ(record().pending, 0);
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, now.QuadPart + WDF_ABS_TIMEOUT_IN_MS(100));
    before = platform::now_ms();
    EXPECT_EQ(WdfIoTargetSendReadSynchronously(t, nullptr, &d, nullptr, &options, nullptr),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(platform::now_ms() - before, 100);
}

TEST_F(IoTargetSync, BadDescriptorsAndOptionsAreRefused) {
    WDFIOTARGET t = make_target();
    WDF_MEMORY_DESCRIPTOR d;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, nullptr, 4);
    EXPECT_EQ(WdfIoTargetSendWriteSynchronously(t, nullptr, &d, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kMemoryTag, 8, &memory, nullptr),
        STATUS_SUCCESS);
    WDFMEMORY_OFFSET past{6, 4};
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&d, memory, &past);
    EXPECT_EQ(WdfIoTargetSendWriteSynchronously(t, nullptr, &d, nullptr, nullptr, nullptr),
              STATUS_INTEGER_OVERFLOW);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    options.Size = 4;
    EXPECT_EQ(WdfIoTargetSendWriteSynchronously(t, nullptr, nullptr, nullptr, &options, nullptr),
              STATUS_INFO_LENGTH_MISMATCH);
    WdfObjectDelete(memory);
}

using IoTargetAsync = target_fixture;

TEST_F(IoTargetAsync, WriteCompletionRoutineRunsOnceWithTheCompletionParams) {
    wdf::set_completion_context(wdf::completion_context::always);
    WDFIOTARGET t = make_target();
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_SUCCESS);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kMemoryTag, 6, &memory, &buffer),
        STATUS_SUCCESS);
    std::memcpy(buffer, "abcdef", 6);
    WDFMEMORY_OFFSET part{1, 3};
    ASSERT_EQ(WdfIoTargetFormatRequestForWrite(t, r, memory, &part, nullptr), STATUS_SUCCESS);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    ASSERT_TRUE(wait_until([&] { return log.calls > 0; }));
    wait_until([&] { return log.calls > 1; }, 100);  // give a second call the chance to show
    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_NE(log.thread, scheduler::get().current_locked().id);
    EXPECT_EQ(log.params.Type, WdfRequestTypeWrite);
    EXPECT_EQ(log.params.IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(log.params.IoStatus.Information, 3u);
    EXPECT_EQ(log.params.Parameters.Write.Buffer, memory);
    EXPECT_EQ(log.params.Parameters.Write.Offset, 1u);
    EXPECT_EQ(log.params.Parameters.Write.Length, 3u);
    EXPECT_EQ(record().written, (std::vector<std::uint8_t>{'b', 'c', 'd'}));
}

// After a completion the request must be formatted again before it is sent; reuse clears the
// completion routine and sets the status WdfRequestGetStatus reports.
TEST_F(IoTargetAsync, ReuseAfterCompletionAndResend) {
    WDFIOTARGET t = make_target();
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    ASSERT_TRUE(wait_until([] { return record().pending == 1; }));
    EXPECT_TRUE(WdfRequestCancelSentRequest(r));
    ASSERT_TRUE(wait_until([&] { return log.calls == 1; }));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(r));  // nothing in flight any more

    EXPECT_FALSE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));  // not formatted again
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_REQUEST_NOT_ACCEPTED);

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_NOT_SUPPORTED);
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    WdfRequestGetCompletionParams(r, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeNoFormat);
    ASSERT_EQ(WdfIoTargetFormatRequestForIoctl(t, r, kPend, memory, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    ASSERT_TRUE(wait_until([] { return record().pending == 1; }));
    WdfRequestCancelSentRequest(r);
    ASSERT_TRUE(wait_until([] { return record().cancelled == 2; }));
    wait_until([&] { return log.calls > 1; }, 100);
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_EQ(log.calls, 1);  // the reuse removed the routine
    }
    WdfObjectDelete(r);
    WdfObjectDelete(memory);
}

// A synchronous WdfRequestSend also calls the driver's routine, before it returns.
TEST_F(IoTargetAsync, SynchronousSendCallsTheRoutineAndTimesOut) {
    WDFIOTARGET t = make_target();
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(1));
    EXPECT_TRUE(WdfRequestSend(r, t, &options));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_IO_TIMEOUT);
    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.params.IoStatus.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(log.params.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(log.params.Parameters.Ioctl.IoControlCode, kPend);
    EXPECT_EQ(log.params.Parameters.Ioctl.Input.Buffer, memory);
}

using IoTargetClose = target_fixture;

// Close cancels what is in flight, and returns only after the completion routine has run;
// later sends and formats are refused with STATUS_INVALID_DEVICE_STATE.
TEST_F(IoTargetClose, CancelsOutstandingRequestsAndRefusesLaterSends) {
    WDFIOTARGET t = make_target();
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    WdfIoTargetClose(t);
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(log.params.IoStatus.Status, STATUS_CANCELLED);
    }
    EXPECT_EQ(WdfIoTargetGetState(t), WdfIoTargetClosed);
    EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(t, r, kEcho, memory, nullptr, nullptr, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    WDF_REQUEST_SEND_OPTIONS sync;
    WDF_REQUEST_SEND_OPTIONS_INIT(&sync, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    EXPECT_FALSE(WdfRequestSend(r, t, &sync));  // not formatted, and the target is closed
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_EQ(
        WdfIoTargetSendIoctlSynchronously(t, nullptr, kEcho, nullptr, nullptr, nullptr, nullptr),
        STATUS_INVALID_DEVICE_STATE);
    WdfObjectDelete(r);
    WdfObjectDelete(memory);
}

// Without EvtIoTargetRemoveComplete the framework closes the target when its device is
// surprise removed: the pended request comes back, the handle goes, the removal follows.
TEST_F(IoTargetClose, SurpriseRemovalOfTheTargetDeviceClosesTheTarget) {
    WDFIOTARGET t = make_target();
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    ASSERT_EQ(pnp::surprise_remove(target_node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(target_node), pnp::device_state::removed);
    EXPECT_EQ(WdfIoTargetGetState(t), WdfIoTargetClosed);
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(log.params.IoStatus.Status, STATUS_CANCELLED);
    }
    EXPECT_EQ(
        WdfIoTargetSendIoctlSynchronously(t, nullptr, kEcho, nullptr, nullptr, nullptr, nullptr),
        STATUS_INVALID_DEVICE_STATE);
    WdfObjectDelete(r);
    WdfObjectDelete(memory);
}

// Query-remove's default closes the target (so the removal can proceed); a removal called off
// reopens it with the stored settings.
TEST_F(IoTargetClose, QueryRemoveClosesAndACancelledRemovalReopens) {
    WDFIOTARGET t = make_target();
    ASSERT_EQ(pnp::query_remove(target_node, false), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetGetState(t), WdfIoTargetStarted);
    std::uint8_t in[2] = {7, 8}, out[2] = {};
    WDF_MEMORY_DESCRIPTOR din, dout;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&din, in, 2);
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, out, 2);
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(t, nullptr, kEcho, &din, &dout, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(out[0], 8);

    ASSERT_EQ(pnp::remove_device(target_node), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetGetState(t), WdfIoTargetClosed);
    EXPECT_EQ(WdfIoTargetWdmGetTargetFileObject(t), nullptr);
}

// Deleting the client device deletes its target, which closes first: the target device's
// file object goes with it, so the target device can be removed.
TEST_F(IoTargetClose, DeletedWithItsParentDevice) {
    WDFIOTARGET t = make_target();
    PDEVICE_OBJECT top = WdfIoTargetWdmGetTargetDeviceObject(t);
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, LogCompletion, &log);
    ASSERT_TRUE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    ASSERT_EQ(pnp::remove_device(client_node), STATUS_SUCCESS);
    EXPECT_EQ(platform::io::open_file_count(top), 0u);
    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(record().cancelled, 1);
}

using IoTargetFaults = target_fixture;

TEST_F(IoTargetFaults, CreateOpenAndSendFailOnDemand) {
    namespace faults = platform::faults;
    faults::fail_nth("WdfIoTargetCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDFIOTARGET t = nullptr;
    EXPECT_EQ(WdfIoTargetCreate(client_device(), WDF_NO_OBJECT_ATTRIBUTES, &t),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(t, nullptr);
    faults::fail_nth("WdfIoTargetOpen", 1, STATUS_NO_SUCH_DEVICE);
    NTSTATUS st = STATUS_SUCCESS;
    t = make_target(u"\\DosDevices\\IoTgt", &st);
    EXPECT_EQ(st, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(t), nullptr);
    WdfObjectDelete(t);

    t = make_target();
    WDFMEMORY memory = nullptr;
    WDFREQUEST r = pended_ioctl(t, &memory);
    faults::fail_nth("WdfRequestSend", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INSUFFICIENT_RESOURCES);
    faults::fail_nth("WdfRequestCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDFREQUEST r2 = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r2), STATUS_INSUFFICIENT_RESOURCES);
    WdfObjectDelete(r);
    WdfObjectDelete(memory);
}

}  // namespace
