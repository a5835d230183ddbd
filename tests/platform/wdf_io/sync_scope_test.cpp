// Synchronisation scopes: the callback lock of queues and devices serialises queue callbacks,
// work items with AutomaticSerialization and cancel routines; WdfObjectAcquireLock takes the
// same lock; a caller that holds it has the queue's work deferred to the queue's worker.
#include <gtest/gtest.h>

#include <wdf.h>

#include <string>
#include <vector>

#include "../wdf/wdf_fixture.h"
#include "io/irp.h"
#include "wdf_io_harness.h"

using wdf_io_test::irp_box;
using wdf_io_test::note;
using wdf_io_test::wait_until;

namespace {

using platform::scheduler;

// What the callbacks saw. Guarded by the scheduler lock (written through `note`).
struct seen_t {
    int active = 0;      // callbacks running now
    int max_active = 0;  // most ever running at once
    std::vector<std::string> order;
    std::vector<int> irqls;
    std::vector<std::uint64_t> threads;
    std::vector<WDFREQUEST> kept;
    WDFWORKITEM item = nullptr;
    int cancels = 0;
};
seen_t seen;

std::uint64_t current_thread_id() {
    return scheduler::get().current().id;
}

void enter(const char* what) {
    note([&] {
        seen.max_active = std::max(seen.max_active, ++seen.active);
        seen.order.push_back(std::string(what) + "+");
        seen.irqls.push_back(scheduler::get().current_locked().irql);
        seen.threads.push_back(scheduler::get().current_locked().id);
    });
}

void leave(const char* what) {
    note([&] {
        --seen.active;
        seen.order.push_back(std::string(what) + "-");
    });
}

// Stays busy inside a callback for `ms` of virtual time, giving any other thread the chance to
// enter a callback beside it.
void dwell(std::int64_t ms = 10) {
    wait_until([] { return false; }, ms);
}

VOID busy_read(WDFQUEUE, WDFREQUEST request, size_t) {
    enter("read");
    dwell();
    leave("read");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID busy_write(WDFQUEUE, WDFREQUEST request, size_t) {
    enter("write");
    dwell();
    leave("write");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID busy_ioctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    enter("ioctl");
    dwell();
    leave("ioctl");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

// Enqueues the work item, then stays busy: a serialised work item cannot start meanwhile.
VOID read_enqueuing_item(WDFQUEUE, WDFREQUEST request, size_t) {
    enter("read");
    WdfWorkItemEnqueue(seen.item);
    dwell();
    leave("read");
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID short_item(WDFWORKITEM) {
    enter("item");
    leave("item");
}

VOID cancel_routine(WDFREQUEST request) {
    enter("cancel");
    note([] { ++seen.cancels; });
    leave("cancel");
    WdfRequestComplete(request, STATUS_CANCELLED);
}

VOID cancelable_read(WDFQUEUE, WDFREQUEST request, size_t) {
    enter("read");
    WdfRequestMarkCancelable(request, cancel_routine);
    note([&] { seen.kept.push_back(request); });
    leave("read");
}

VOID keep_read(WDFQUEUE, WDFREQUEST request, size_t) {
    enter("read");
    note([&] { seen.kept.push_back(request); });
    leave("read");
}

// The device the test's AddDevice creates, with these constraints.
struct device_constraints {
    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent;
    WDFDEVICE device = nullptr;
};
device_constraints constraints;

NTSTATUS ScopedDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = constraints.level;
    attributes.SynchronizationScope = constraints.scope;
    return WdfDeviceCreate(&init, &attributes, &constraints.device);
}

struct queue_setup {
    WDF_IO_QUEUE_DISPATCH_TYPE type = WdfIoQueueDispatchParallel;
    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent;
    PFN_WDF_IO_QUEUE_IO_READ read = busy_read;
    PFN_WDF_IO_QUEUE_IO_WRITE write = nullptr;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL ioctl = nullptr;
    bool default_queue = true;
};

class SyncScope : public wdf_test::framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        seen = seen_t{};
        constraints = device_constraints{};
    }

    // The driver (with `driver_level` / `driver_scope`) and its device (with `constraints`).
    void create(WDF_EXECUTION_LEVEL driver_level = WdfExecutionLevelInheritFromParent,
                WDF_SYNCHRONIZATION_SCOPE driver_scope = WdfSynchronizationScopeInheritFromParent) {
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, ScopedDeviceAdd);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = driver_level;
        attributes.SynchronizationScope = driver_scope;
        platform::kernel::owned_unicode_string path(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdfcoretest");
        ASSERT_EQ(WdfDriverCreate(drv, path.get(), &attributes, &config, &driver), STATUS_SUCCESS);
        ASSERT_EQ(add_device(), STATUS_SUCCESS);
    }

    NTSTATUS try_queue(const queue_setup& q, WDFQUEUE* out) {
        WDF_IO_QUEUE_CONFIG cfg;
        if (q.default_queue) {
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, q.type);
        } else {
            WDF_IO_QUEUE_CONFIG_INIT(&cfg, q.type);
        }
        cfg.EvtIoRead = q.read;
        cfg.EvtIoWrite = q.write;
        cfg.EvtIoDeviceControl = q.ioctl;
        cfg.PowerManaged = WdfFalse;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = q.level;
        attributes.SynchronizationScope = q.scope;
        return WdfIoQueueCreate(constraints.device, &cfg, &attributes, out);
    }
    WDFQUEUE queue(const queue_setup& q) {
        WDFQUEUE out = nullptr;
        EXPECT_EQ(try_queue(q, &out), STATUS_SUCCESS);
        return out;
    }

    NTSTATUS try_item(WDFOBJECT parent, bool serialised, WDFWORKITEM* out) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, short_item);
        config.AutomaticSerialization = serialised ? TRUE : FALSE;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        return WdfWorkItemCreate(&config, &attributes, out);
    }

    // Sends a 4-byte read, write or device control into the framework's I/O package of the
    // device.
    std::shared_ptr<irp_box> send(UCHAR major = IRP_MJ_READ) {
        auto box = std::make_shared<irp_box>();
        PIRP irp = box->irp.get();
        irp->major = major;
        (major == IRP_MJ_WRITE ? irp->input_length : irp->output_length) = 4;
        irp->system_buffer.assign(4, 0);
        irp_box* raw = box.get();
        irp->on_complete = [raw](PIRP p) {
            note([&] {
                raw->done = true;
                raw->status = p->status;
            });
        };
        platform::wdf::io_dispatch(
            platform::wdf::fx_object::get(reinterpret_cast<WDFOBJECT>(constraints.device), "test"),
            irp);
        return box;
    }

    // Two threads send at once; returns once both requests are completed.
    void send_from_two_threads(UCHAR first, UCHAR second) {
        std::shared_ptr<irp_box> a, b;
        auto ta = scheduler::get().start_thread("sender a", [&] { a = send(first); });
        auto tb = scheduler::get().start_thread("sender b", [&] { b = send(second); });
        ta->join();
        tb->join();
        ASSERT_TRUE(a->wait());
        ASSERT_TRUE(b->wait());
    }

    // The IRQL of the default queue's read callback, with these constraints on the queue.
    int irql_of_read(WDF_EXECUTION_LEVEL level, WDF_SYNCHRONIZATION_SCOPE scope) {
        create();
        queue_setup q;
        q.level = level;
        q.scope = scope;
        queue(q);
        EXPECT_TRUE(send()->wait());
        EXPECT_EQ(scheduler::get().current().irql, PASSIVE_LEVEL);
        std::lock_guard g(scheduler::get().lock());
        return seen.irqls.size() == 1 ? seen.irqls[0] : -1;
    }

    int cancels() {
        std::lock_guard g(scheduler::get().lock());
        return seen.cancels;
    }
    std::vector<std::string> order() {
        std::lock_guard g(scheduler::get().lock());
        return seen.order;
    }
    int max_active() {
        std::lock_guard g(scheduler::get().lock());
        return seen.max_active;
    }
};

using strings = std::vector<std::string>;

// ---- Queue callbacks ------------------------------------------------------------------------

TEST_F(SyncScope, QueueScopeKeepsTheCallbacksOfAParallelQueueFromOverlapping) {
    create();
    // Without a scope two senders are in the parallel queue's callback at once...
    queue_setup open;
    open.scope = WdfSynchronizationScopeNone;
    open.default_queue = false;
    WDFQUEUE unscoped = queue(open);
    ASSERT_EQ(
        WdfDeviceConfigureRequestDispatching(constraints.device, unscoped, WdfRequestTypeRead),
        STATUS_SUCCESS);
    send_from_two_threads(IRP_MJ_READ, IRP_MJ_READ);
    EXPECT_EQ(max_active(), 2);

    // ...with queue scope the second waits for the first.
    note([] { seen = seen_t{}; });
    queue_setup scoped;
    scoped.scope = WdfSynchronizationScopeQueue;
    scoped.read = nullptr;
    scoped.write = busy_write;
    scoped.default_queue = false;
    WDFQUEUE serialised = queue(scoped);
    ASSERT_EQ(
        WdfDeviceConfigureRequestDispatching(constraints.device, serialised, WdfRequestTypeWrite),
        STATUS_SUCCESS);
    send_from_two_threads(IRP_MJ_WRITE, IRP_MJ_WRITE);
    EXPECT_EQ(max_active(), 1);
    EXPECT_EQ(order(), (strings{"write+", "write-", "write+", "write-"}));
}

TEST_F(SyncScope, DeviceScopeSerialisesTheCallbacksOfEveryQueueOfTheDevice) {
    constraints.scope = WdfSynchronizationScopeDevice;
    create();
    queue_setup reads;  // inherits device scope
    queue(reads);
    queue_setup writes;
    writes.read = nullptr;
    writes.write = busy_write;
    writes.default_queue = false;
    WDFQUEUE second = queue(writes);
    ASSERT_EQ(WdfDeviceConfigureRequestDispatching(constraints.device, second, WdfRequestTypeWrite),
              STATUS_SUCCESS);
    send_from_two_threads(IRP_MJ_READ, IRP_MJ_WRITE);
    EXPECT_EQ(max_active(), 1);

    // A queue that opts out with queue scope has a lock of its own: it runs beside the others.
    note([] { seen = seen_t{}; });
    queue_setup own;
    own.scope = WdfSynchronizationScopeQueue;
    own.read = nullptr;
    own.ioctl = busy_ioctl;
    own.default_queue = false;
    WDFQUEUE apart = queue(own);
    ASSERT_EQ(WdfDeviceConfigureRequestDispatching(constraints.device, apart,
                                                   WdfRequestTypeDeviceControl),
              STATUS_SUCCESS);
    send_from_two_threads(IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(max_active(), 2);
}

// A dispatch-level scope holds a spin lock around the callbacks, a passive one a passive lock.
TEST_F(SyncScope, ADispatchLevelScopeRunsCallbacksAtDispatchLevel) {
    EXPECT_EQ(irql_of_read(WdfExecutionLevelDispatch, WdfSynchronizationScopeQueue),
              DISPATCH_LEVEL);
}

TEST_F(SyncScope, APassiveLevelScopeRunsCallbacksAtPassiveLevel) {
    EXPECT_EQ(irql_of_read(WdfExecutionLevelPassive, WdfSynchronizationScopeQueue), PASSIVE_LEVEL);
}

TEST_F(SyncScope, ADeviceScopedQueueMustRunAtTheDevicesExecutionLevel) {
    create();  // dispatch level, from the driver
    queue_setup q;
    q.level = WdfExecutionLevelPassive;
    q.scope = WdfSynchronizationScopeDevice;
    WDFQUEUE out = nullptr;
    EXPECT_EQ(try_queue(q, &out), STATUS_INVALID_PARAMETER);
    q.level = WdfExecutionLevelDispatch;
    EXPECT_EQ(try_queue(q, &out), STATUS_SUCCESS);
}

// ---- Work items with AutomaticSerialization -------------------------------------------------

TEST_F(SyncScope, ASerialisedWorkItemWaitsForTheQueueCallbackThatEnqueuedIt) {
    create();
    queue_setup q;
    q.level = WdfExecutionLevelPassive;
    q.scope = WdfSynchronizationScopeQueue;
    q.read = read_enqueuing_item;
    WDFQUEUE scoped = queue(q);

    // Not serialised, the item runs while the callback is still busy...
    ASSERT_EQ(try_item(scoped, false, &seen.item), STATUS_SUCCESS);
    ASSERT_TRUE(send()->wait());
    WdfWorkItemFlush(seen.item);
    EXPECT_EQ(order(), (strings{"read+", "item+", "item-", "read-"}));

    // ...serialised, it starts only once the callback has returned.
    WdfObjectDelete(seen.item);
    note([] { seen = seen_t{}; });
    ASSERT_EQ(try_item(scoped, true, &seen.item), STATUS_SUCCESS);
    ASSERT_TRUE(send()->wait());
    WdfWorkItemFlush(seen.item);
    EXPECT_EQ(order(), (strings{"read+", "read-", "item+", "item-"}));
}

TEST_F(SyncScope, AWorkItemUnderADeviceScopedQueueSerialisesWithTheWholeDevice) {
    create(WdfExecutionLevelPassive, WdfSynchronizationScopeDevice);
    queue_setup reads;
    reads.read = read_enqueuing_item;
    queue(reads);
    queue_setup other;
    other.read = nullptr;
    other.write = busy_write;
    other.default_queue = false;
    WDFQUEUE sibling = queue(other);
    // Parented to the other queue: its lock is the device's, which the read callback holds.
    ASSERT_EQ(try_item(sibling, true, &seen.item), STATUS_SUCCESS);
    ASSERT_TRUE(send()->wait());
    WdfWorkItemFlush(seen.item);
    EXPECT_EQ(order(), (strings{"read+", "read-", "item+", "item-"}));
}

TEST_F(SyncScope, WhichParentsAWorkItemCanSerialiseWith) {
    create();
    queue_setup spin;
    spin.level = WdfExecutionLevelDispatch;
    spin.scope = WdfSynchronizationScopeQueue;
    WDFQUEUE dispatch_scoped = queue(spin);
    queue_setup open;
    open.level = WdfExecutionLevelDispatch;
    open.scope = WdfSynchronizationScopeNone;
    open.default_queue = false;
    WDFQUEUE unscoped = queue(open);

    WDFWORKITEM item = nullptr;
    // A passive callback cannot run under a spin lock...
    EXPECT_EQ(try_item(dispatch_scoped, true, &item), STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL);
    EXPECT_EQ(item, nullptr);
    // ...but needs none when it does not ask for serialisation, or the parent has no scope.
    EXPECT_EQ(try_item(dispatch_scoped, false, &item), STATUS_SUCCESS);
    EXPECT_EQ(try_item(unscoped, true, &item), STATUS_SUCCESS);
    EXPECT_EQ(try_item(constraints.device, true, &item), STATUS_SUCCESS);
}

TEST_F(SyncScope, ADeviceThatOnlyInheritsPassiveLevelDoesNotTakeSerialisedWorkItems) {
    // The device's lock is a passive one, but the device is not marked for passive callbacks
    // unless its own attributes ask (FxObject::Commit), so the item is refused; a queue that
    // resolves to passive level is marked, and serialises it with the same device lock.
    create(WdfExecutionLevelPassive, WdfSynchronizationScopeDevice);
    WDFQUEUE q = queue(queue_setup{});
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(try_item(constraints.device, true, &item), STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL);
    EXPECT_EQ(try_item(q, true, &item), STATUS_SUCCESS);
}

// ---- WdfObjectAcquireLock -------------------------------------------------------------------

TEST_F(SyncScope, TheObjectLockKeepsQueueCallbacksOut) {
    create();
    queue_setup q;
    q.scope = WdfSynchronizationScopeQueue;
    WDFQUEUE scoped = queue(q);
    WdfObjectAcquireLock(scoped);
    EXPECT_EQ(scheduler::get().current().irql, DISPATCH_LEVEL);  // a dispatch-level spin lock
    std::shared_ptr<irp_box> box;
    auto sender = scheduler::get().start_thread("sender", [&] { box = send(); });
    dwell(50);
    EXPECT_TRUE(order().empty());
    WdfObjectReleaseLock(scoped);
    EXPECT_EQ(scheduler::get().current().irql, PASSIVE_LEVEL);
    sender->join();
    ASSERT_TRUE(box->wait());
    EXPECT_EQ(order(), (strings{"read+", "read-"}));
}

TEST_F(SyncScope, TheObjectLockOfAnUnscopedQueueOrDeviceExistsButSerialisesNothing) {
    create();
    WDFQUEUE unscoped = queue(queue_setup{});
    WdfObjectAcquireLock(unscoped);
    WdfObjectAcquireLock(constraints.device);
    std::shared_ptr<irp_box> box;
    auto sender = scheduler::get().start_thread("sender", [&] { box = send(); });
    sender->join();
    EXPECT_TRUE(box->completed());
    WdfObjectReleaseLock(constraints.device);
    WdfObjectReleaseLock(unscoped);
}

TEST_F(SyncScope, AHolderOfThePassiveLockSendingHasThePresentationDeferredToTheWorker) {
    create();
    queue_setup q;
    q.type = WdfIoQueueDispatchSequential;
    q.level = WdfExecutionLevelPassive;
    q.scope = WdfSynchronizationScopeQueue;
    q.read = keep_read;
    WDFQUEUE scoped = queue(q);
    WdfObjectAcquireLock(scoped);
    EXPECT_EQ(scheduler::get().current().irql, PASSIVE_LEVEL);
    std::uint64_t holder = current_thread_id();
    auto box = send();  // would take the lock this thread holds: deferred, not presented here
    EXPECT_TRUE(order().empty());
    WdfObjectReleaseLock(scoped);
    ASSERT_TRUE(wait_until([] { return seen.kept.size() == 1; }));
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_NE(seen.threads.at(0), holder);
        EXPECT_EQ(seen.irqls.at(0), PASSIVE_LEVEL);
    }
    WdfRequestComplete(seen.kept.at(0), STATUS_SUCCESS);
    EXPECT_TRUE(box->wait());
}

// ---- Cancellation ---------------------------------------------------------------------------

class SyncScopeCancel : public SyncScope {
  protected:
    // A dispatch-level queue with queue scope whose read callback marks the request cancelable
    // and keeps it, as a driver completing reads from a timer routine does.
    void SetUp() override {
        SyncScope::SetUp();
        create();
        queue_setup q;
        q.type = WdfIoQueueDispatchSequential;
        q.level = WdfExecutionLevelDispatch;
        q.scope = WdfSynchronizationScopeQueue;
        q.read = cancelable_read;
        scoped = queue(q);
        box = send();
        ASSERT_TRUE(wait_until([] { return seen.kept.size() == 1; }));
    }
    void TearDown() override {
        box->wait();
        SyncScope::TearDown();
    }
    WDFQUEUE scoped = nullptr;
    std::shared_ptr<irp_box> box;
};

TEST_F(SyncScopeCancel, ACancelWaitsForTheHolderOfTheCallbackLock) {
    WdfObjectAcquireLock(scoped);  // where a serialised timer routine would be
    std::uint64_t canceller_id = 0;
    auto canceller = scheduler::get().start_thread("canceller", [&] {
        canceller_id = current_thread_id();
        platform::io::cancel_irp(box->irp.get());
    });
    dwell(50);
    EXPECT_EQ(cancels(), 0);
    // The holder sees the cancel coming and leaves the request to the cancel routine.
    EXPECT_EQ(WdfRequestUnmarkCancelable(seen.kept.at(0)), STATUS_CANCELLED);
    WdfObjectReleaseLock(scoped);
    canceller->join();
    ASSERT_TRUE(box->wait());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(seen.cancels, 1);
    EXPECT_EQ(seen.threads.back(), canceller_id);
    EXPECT_EQ(seen.irqls.back(), DISPATCH_LEVEL);
}

TEST_F(SyncScopeCancel, ACancelByTheHolderOfTheCallbackLockIsDeferredToTheQueuesWorker) {
    WdfObjectAcquireLock(scoped);
    std::uint64_t holder = current_thread_id();
    platform::io::cancel_irp(box->irp.get());  // the routine would take the held lock
    EXPECT_EQ(cancels(), 0);
    WdfObjectReleaseLock(scoped);
    ASSERT_TRUE(box->wait());
    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(seen.cancels, 1);
    EXPECT_NE(seen.threads.back(), holder);
    EXPECT_EQ(seen.irqls.back(), DISPATCH_LEVEL);  // as the framework's DPC runs it
}

}  // namespace
