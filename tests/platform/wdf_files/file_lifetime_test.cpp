// A file object's life with requests of its handle waiting in the driver's queues: contexts
// the create callback attaches, the clean-up callback before the framework cancels the
// handle's queued requests (FxPkgGeneral::OnCleanup, then FxPkgIo::FlushAllQueuesByFileObject),
// requests the driver holds left to it, and the objects parented to the file object deleted
// at close.
#include <gtest/gtest.h>

#include <wdf.h>

#include <string>
#include <vector>

#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

struct HANDLE_STATE {
    WDFQUEUE Reads;  // manual, parented to the file object
    WDFWAITLOCK Lock;
    WDFCOLLECTION Pending;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HANDLE_STATE, GetHandleState)

struct seen_t {
    std::vector<std::string> events;
    bool attach_context = true;
    WDFQUEUE manual = nullptr;         // the device-wide manual queue
    bool cancelled_on_queue = false;   // the manual queue has EvtIoCanceledOnQueue
    std::vector<WDFFILEOBJECT> files;  // as created
    std::vector<bool> cleanup_saw_read_pending;
    std::shared_ptr<irp_box> watched;  // the read whose state clean-up records
};
seen_t seen;

VOID child_destroyed(WDFOBJECT) {
    note([] { seen.events.push_back("child-destroyed"); });
}

VOID file_create(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
    note([&] { seen.files.push_back(file); });
    if (seen.attach_context) {
        WDF_OBJECT_ATTRIBUTES attrs;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attrs, HANDLE_STATE);
        HANDLE_STATE* state = nullptr;
        NTSTATUS st = WdfObjectAllocateContext(file, &attrs, reinterpret_cast<PVOID*>(&state));
        if (!NT_SUCCESS(st)) {
            WdfRequestComplete(request, st);
            return;
        }
        // Objects whose life is the handle's.
        WDF_OBJECT_ATTRIBUTES child;
        WDF_OBJECT_ATTRIBUTES_INIT(&child);
        child.ParentObject = file;
        child.EvtDestroyCallback = child_destroyed;
        WDF_IO_QUEUE_CONFIG qc;
        WDF_IO_QUEUE_CONFIG_INIT(&qc, WdfIoQueueDispatchManual);
        st = WdfIoQueueCreate(device, &qc, &child, &state->Reads);
        if (NT_SUCCESS(st))
            st = WdfWaitLockCreate(&child, &state->Lock);
        if (NT_SUCCESS(st))
            st = WdfCollectionCreate(&child, &state->Pending);
        if (!NT_SUCCESS(st)) {
            WdfRequestComplete(request, st);
            return;
        }
    }
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID file_cleanup(WDFFILEOBJECT) {
    bool pending = seen.watched != nullptr && !seen.watched->completed();
    note([&] {
        seen.events.push_back("cleanup");
        seen.cleanup_saw_read_pending.push_back(pending);
    });
}

VOID file_close(WDFFILEOBJECT) {
    note([] { seen.events.push_back("close"); });
}

// Reads go to the device-wide manual queue, or to the handle's own when it has one and the
// read asks for it (4 bytes).
VOID read_forward(WDFQUEUE, WDFREQUEST request, size_t length) {
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    HANDLE_STATE* state = file != nullptr ? WdfObjectGetTypedContext(file, HANDLE_STATE) : nullptr;
    WDFQUEUE to = (length == 4 && state != nullptr) ? state->Reads : seen.manual;
    NTSTATUS st = WdfRequestForwardToIoQueue(request, to);
    if (!NT_SUCCESS(st))
        WdfRequestComplete(request, st);
}

VOID canceled_on_queue(WDFQUEUE, WDFREQUEST request) {
    note([] { seen.events.push_back("canceled-on-queue"); });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

class file_lifetime_test : public io_fixture {
  protected:
    void SetUp() override {
        seen = {};
        platform::wdf::io_device_config cfg;
        WDF_FILEOBJECT_CONFIG_INIT(&cfg.file_config, file_create, file_close, file_cleanup);
        cfg.file_config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
        attach(cfg);
    }
    void make_queues() {
        WDF_IO_QUEUE_CONFIG qc;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
        qc.EvtIoRead = read_forward;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, nullptr), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG_INIT(&qc, WdfIoQueueDispatchManual);
        if (seen.cancelled_on_queue)
            qc.EvtIoCanceledOnQueue = canceled_on_queue;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, &seen.manual), STATUS_SUCCESS);
    }
    void open(FILE_OBJECT* f) {
        auto create = send(IRP_MJ_CREATE, 0, 0, f);
        ASSERT_TRUE(create->completed());
        ASSERT_EQ(create->status, STATUS_SUCCESS);
    }
};

TEST_F(file_lifetime_test, contexts_attached_at_create_and_missing_on_a_file_without_one) {
    make_queues();
    FILE_OBJECT with = make_file(), without = make_file();
    open(&with);
    seen.attach_context = false;
    open(&without);
    ASSERT_EQ(seen.files.size(), 2u);
    HANDLE_STATE* state = GetHandleState(seen.files[0]);
    ASSERT_NE(state, nullptr);
    EXPECT_NE(state->Reads, nullptr);
    EXPECT_EQ(WdfObjectGetTypedContext(seen.files[1], HANDLE_STATE), nullptr);
    // A second context of the same type is refused.
    WDF_OBJECT_ATTRIBUTES attrs;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attrs, HANDLE_STATE);
    PVOID again = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(seen.files[0], &attrs, &again), STATUS_OBJECT_NAME_EXISTS);
    for (FILE_OBJECT* f : {&with, &without}) {
        send(IRP_MJ_CLEANUP, 0, 0, f);
        send(IRP_MJ_CLOSE, 0, 0, f);
    }
}

TEST_F(file_lifetime_test, cleanup_runs_before_the_handles_queued_reads_are_cancelled) {
    make_queues();
    FILE_OBJECT f = make_file(), other = make_file();
    open(&f);
    open(&other);
    // One read of each handle waits in the device-wide manual queue, a third in the handle's
    // own queue.
    seen.watched = send(IRP_MJ_READ, 0, 8, &f);
    auto own = send(IRP_MJ_READ, 0, 4, &f);
    auto theirs = send(IRP_MJ_READ, 0, 8, &other);
    ASSERT_FALSE(seen.watched->completed());
    ASSERT_FALSE(own->completed());

    auto cleanup = send(IRP_MJ_CLEANUP, 0, 0, &f);
    ASSERT_TRUE(cleanup->completed());
    // The callback saw the read still waiting; then the framework cancelled both of the
    // handle's reads and left the other handle's alone.
    EXPECT_EQ(seen.cleanup_saw_read_pending, std::vector<bool>{true});
    ASSERT_TRUE(seen.watched->completed());
    EXPECT_EQ(seen.watched->status, STATUS_CANCELLED);
    ASSERT_TRUE(own->completed());
    EXPECT_EQ(own->status, STATUS_CANCELLED);
    EXPECT_FALSE(theirs->completed());

    send(IRP_MJ_CLOSE, 0, 0, &f);
    send(IRP_MJ_CLEANUP, 0, 0, &other);
    EXPECT_TRUE(theirs->completed());
    send(IRP_MJ_CLOSE, 0, 0, &other);
}

TEST_F(file_lifetime_test, a_forwarded_read_cancelled_at_cleanup_goes_to_canceled_on_queue) {
    seen.cancelled_on_queue = true;
    make_queues();
    FILE_OBJECT f = make_file();
    open(&f);
    seen.watched = send(IRP_MJ_READ, 0, 8, &f);
    send(IRP_MJ_CLEANUP, 0, 0, &f);
    // The read had been presented (to the default queue) before it was forwarded.
    EXPECT_EQ(seen.events, (std::vector<std::string>{"cleanup", "canceled-on-queue"}));
    ASSERT_TRUE(seen.watched->completed());
    EXPECT_EQ(seen.watched->status, STATUS_CANCELLED);
    send(IRP_MJ_CLOSE, 0, 0, &f);
}

TEST_F(file_lifetime_test, a_read_the_driver_retrieved_is_its_own_to_finish_after_cleanup) {
    make_queues();
    FILE_OBJECT f = make_file();
    open(&f);
    auto read = send(IRP_MJ_READ, 0, 8, &f);
    WDFREQUEST held = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &held), STATUS_SUCCESS);
    WDFREQUEST none = held;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &none), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(none, nullptr);
    send(IRP_MJ_CLEANUP, 0, 0, &f);
    EXPECT_FALSE(read->completed());
    WdfRequestCompleteWithInformation(held, STATUS_SUCCESS, 8);
    ASSERT_TRUE(read->completed());
    EXPECT_EQ(read->information, 8u);
    send(IRP_MJ_CLOSE, 0, 0, &f);
}

TEST_F(file_lifetime_test, objects_parented_to_the_file_object_go_at_close_not_at_cleanup) {
    make_queues();
    FILE_OBJECT f = make_file();
    open(&f);
    HANDLE_STATE* state = GetHandleState(seen.files[0]);
    WDFQUEUE reads = state->Reads;
    WDFWAITLOCK lock = state->Lock;
    WDFCOLLECTION pending = state->Pending;
    send(IRP_MJ_CLEANUP, 0, 0, &f);
    EXPECT_EQ(seen.events, std::vector<std::string>{"cleanup"});
    EXPECT_NE(platform::wdf::fx_object::find(reads), nullptr);
    send(IRP_MJ_CLOSE, 0, 0, &f);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"cleanup", "close", "child-destroyed",
                                                     "child-destroyed", "child-destroyed"}));
    EXPECT_EQ(platform::wdf::fx_object::find(reads), nullptr);
    EXPECT_EQ(platform::wdf::fx_object::find(lock), nullptr);
    EXPECT_EQ(platform::wdf::fx_object::find(pending), nullptr);
}

}  // namespace
