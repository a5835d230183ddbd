// A framework device on its way out: which queues a surprise removal and a removal purge and
// when, and the device's life after the remove while file objects still refer to it (a close
// in progress finishes before the device's objects go; a close that comes later reaches no
// driver callback; the device lives until its last file object is closed).
#include <atomic>

#include "io/io_manager.h"
#include "wdf/fx_object.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

using strings = std::vector<std::string>;
namespace io = platform::io;
using platform::scheduler;

// ---- Queues at removal ---------------------------------------------------------------------

WDFREQUEST kept_read = nullptr;  // the read the driver holds on to

VOID KeepRead(WDFQUEUE, WDFREQUEST request, size_t) {
    record("Read");
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    kept_read = request;
    s.wake();
}

bool wait_for_kept_read() {
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + platform::ticks_per_second;
    std::unique_lock lk(s.lock());
    return s.block(
        lk, [] { return kept_read != nullptr; }, deadline, "the read to reach the driver");
}

VOID AnswerRead(WDFQUEUE, WDFREQUEST request, size_t) {
    record("Read");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID AnswerWrite(WDFQUEUE, WDFREQUEST request, size_t) {
    record("Write");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID StopRead(WDFQUEUE, WDFREQUEST request, ULONG action) {
    if ((action & WdfRequestStopActionPurge) != 0) {
        record("IoStop(purge)");
        WdfRequestComplete(request, STATUS_CANCELLED);
    } else {
        record("IoStop(suspend)");
        WdfRequestStopAcknowledge(request, FALSE);
    }
}

// One IRP sent to the device's stack, and its outcome.
struct sent_irp {
    _IRP irp;
    bool done = false;  // guarded by the scheduler lock
};

class DeviceRemoval : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        kept_read = nullptr;
        create_device();
    }

    // Reads go to a queue that is not power-managed, writes to the power-managed default queue.
    void create_queues(PFN_WDF_IO_QUEUE_IO_READ read, WDF_IO_QUEUE_DISPATCH_TYPE read_dispatch) {
        WDF_IO_QUEUE_CONFIG qc;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
        qc.EvtIoWrite = AnswerWrite;
        ASSERT_EQ(WdfIoQueueCreate(device(), &qc, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
                  STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG_INIT(&qc, read_dispatch);
        qc.EvtIoRead = read;
        qc.EvtIoStop = StopRead;
        qc.PowerManaged = WdfFalse;
        WDFQUEUE reads;
        ASSERT_EQ(WdfIoQueueCreate(device(), &qc, WDF_NO_OBJECT_ATTRIBUTES, &reads),
                  STATUS_SUCCESS);
        ASSERT_EQ(WdfDeviceConfigureRequestDispatching(device(), reads, WdfRequestTypeRead),
                  STATUS_SUCCESS);
    }

    std::unique_ptr<sent_irp> send(UCHAR major) {
        auto s = std::make_unique<sent_irp>();
        s->irp.major = major;
        s->irp.requestor_mode = KernelMode;
        s->irp.output_length = major == IRP_MJ_READ ? 4 : 0;
        s->irp.input_length = major == IRP_MJ_WRITE ? 4 : 0;
        s->irp.system_buffer.assign(4, 0);
        sent_irp* raw = s.get();
        s->irp.on_complete = [raw](PIRP) {
            auto& sch = scheduler::get();
            std::lock_guard g(sch.lock());
            raw->done = true;
            sch.wake();
        };
        platform::io::call_driver(fdo(), &s->irp);
        return s;
    }
    // Waits (virtual time) for the IRP's completion; false when it never came.
    static bool wait(sent_irp& s) {
        auto& sch = scheduler::get();
        const platform::ticks deadline = sch.now() + platform::ticks_per_second;
        std::unique_lock lk(sch.lock());
        return sch.block(
            lk, [&s] { return s.done; }, deadline, "a request to the device");
    }
};

TEST_F(DeviceRemoval, SurpriseRemovalLeavesQueuesThatAreNotPowerManagedWorkingUntilTheRemove) {
    create_queues(AnswerRead, WdfIoQueueDispatchParallel);
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    take_events();

    // The power-managed queue was purged; the other one still takes and presents requests.
    auto write = send(IRP_MJ_WRITE);
    ASSERT_TRUE(wait(*write));
    EXPECT_EQ(write->irp.status, STATUS_INVALID_DEVICE_STATE);
    auto read = send(IRP_MJ_READ);
    ASSERT_TRUE(wait(*read));
    EXPECT_EQ(read->irp.status, STATUS_SUCCESS);
    EXPECT_EQ(take_events(), strings{"Read"});
}

TEST_F(DeviceRemoval, ARequestTheDriverOwnsOnAQueueNotPowerManagedIsPurgedAtTheFinalRemove) {
    create_queues(KeepRead, WdfIoQueueDispatchSequential);
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    auto read = send(IRP_MJ_READ);
    ASSERT_TRUE(wait_for_kept_read());
    take_events();

    ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)",
                                      "ReleaseHardware", "SelfManagedIoFlush"}));
    EXPECT_FALSE(read->irp.completed);

    remove();
    EXPECT_EQ(take_events(), (strings{"IoStop(purge)", "SelfManagedIoCleanup", "DeviceCleanup"}));
    ASSERT_TRUE(wait(*read));
    EXPECT_EQ(read->irp.status, STATUS_CANCELLED);
}

TEST_F(DeviceRemoval, AGracefulRemovePurgesBothKindsOfQueueInTheirOwnPlace) {
    create_queues(KeepRead, WdfIoQueueDispatchSequential);
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    auto read = send(IRP_MJ_READ);
    ASSERT_TRUE(wait_for_kept_read());
    take_events();
    remove();
    EXPECT_EQ(take_events(), (strings{"SelfManagedIoSuspend", "D0Exit(D3Final)", "ReleaseHardware",
                                      "SelfManagedIoFlush", "IoStop(purge)", "SelfManagedIoCleanup",
                                      "DeviceCleanup"}));
    ASSERT_TRUE(wait(*read));
    EXPECT_EQ(read->irp.status, STATUS_CANCELLED);
}

// ---- File objects at removal ---------------------------------------------------------------

std::atomic<bool> close_entered{false};

VOID SlowClose(WDFFILEOBJECT file) {
    record(file != nullptr ? "FileClose" : "FileClose(null)");
    {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        close_entered = true;
        s.wake();
    }
    // Long enough that the removal, if it does not wait, runs while the close is here.
    auto& s = scheduler::get();
    platform::ticks until = s.now() + 20 * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, until, "a slow close");
    lk.unlock();
    // The file object is still the driver's to use.
    record(WdfFileObjectGetDevice(file) != nullptr ? "FileCloseDone" : "FileCloseDone(no device)");
}

VOID FileContextCleanup(WDFOBJECT) {
    record("FileCleanup");
}

NTSTATUS FileDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_FILEOBJECT_CONFIG fc;
    WDF_FILEOBJECT_CONFIG_INIT(&fc, WDF_NO_EVENT_CALLBACK, SlowClose, WDF_NO_EVENT_CALLBACK);
    fc.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fa;
    WDF_OBJECT_ATTRIBUTES_INIT(&fa);
    fa.EvtCleanupCallback = FileContextCleanup;
    WdfDeviceInitSetFileObjectConfig(init, &fc, &fa);
    platform::kernel::owned_unicode_string name(u"\\Device\\WdfRemovalTest");
    NTSTATUS st = WdfDeviceInitAssignName(init, name.get());
    if (!NT_SUCCESS(st))
        return st;
    WDF_OBJECT_ATTRIBUTES da;
    WDF_OBJECT_ATTRIBUTES_INIT(&da);
    da.EvtCleanupCallback = EvtDeviceCleanup;
    return WdfDeviceCreate(&init, &da, &setup().device);
}

class DeviceRemovalWithFiles : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        close_entered = false;
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, FileDeviceAdd);
        platform::kernel::owned_unicode_string path(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdfcoretest");
        ASSERT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
                  STATUS_SUCCESS);
        ASSERT_EQ(add_device(), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    }

    platform::ob::ref<platform::ob::object> open() {
        io::open_params params;
        params.desired_access = FILE_READ_DATA;
        auto opened = io::open_file(u"\\Device\\WdfRemovalTest", params);
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        return std::move(opened.file);
    }
};

TEST_F(DeviceRemovalWithFiles, ARemoveWaitsForACloseInProgressBeforeDeletingTheDevice) {
    auto file = open();
    auto closer = scheduler::get().start_thread(
        "closer", [file = std::move(file)]() mutable { io::close_file(std::move(file)); });
    {
        auto& s = scheduler::get();
        const platform::ticks deadline = s.now() + platform::ticks_per_second;
        std::unique_lock lk(s.lock());
        ASSERT_TRUE(s.block(
            lk, [] { return close_entered.load(); }, deadline, "the close to reach the driver"));
    }
    take_events();
    remove();
    closer->join();
    EXPECT_EQ(take_events(), (strings{"FileCloseDone", "FileCleanup", "DeviceCleanup"}));
    EXPECT_EQ(platform::wdf::fx_object::find(reinterpret_cast<WDFOBJECT>(device())), nullptr);
}

TEST_F(DeviceRemovalWithFiles, TheDeviceLivesUntilItsLastFileObjectIsClosed) {
    auto file = open();
    take_events();
    remove();
    // The file object went with the device's objects; the device itself stays.
    EXPECT_EQ(take_events(), (strings{"FileCleanup", "DeviceCleanup"}));
    EXPECT_EQ(fdo(), nullptr);
    EXPECT_NE(platform::wdf::fx_object::find(reinterpret_cast<WDFOBJECT>(device())), nullptr);

    // The close that comes now finds nothing of the driver's to call, and releases the device.
    io::close_file(std::move(file));
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(platform::wdf::fx_object::find(reinterpret_cast<WDFOBJECT>(device())), nullptr);
}

}  // namespace
}  // namespace wdf_test
