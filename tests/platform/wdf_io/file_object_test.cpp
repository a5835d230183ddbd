// Create, clean-up and close: file objects, their contexts and the file callbacks.
#include <gtest/gtest.h>

#include <wdf.h>

#include <string>
#include <vector>

#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

struct SESSION {
    int opened;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SESSION, GetSession)

struct seen_t {
    std::vector<std::string> events;
    WDFFILEOBJECT created = nullptr;
    WDFREQUEST create_request = nullptr;
    NTSTATUS create_status = STATUS_SUCCESS;
    bool complete_in_callback = true;
    WDFFILEOBJECT request_file = nullptr;
    bool read_parameters = false;  // the create callback reads the create's parameters
    WDF_REQUEST_PARAMETERS create_parameters{};
    IO_SECURITY_CONTEXT security{};
};
seen_t seen;

VOID file_create(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT file) {
    note([&] {
        seen.events.push_back("create");
        seen.created = file;
        seen.create_request = request;
    });
    if (file != nullptr)
        GetSession(file)->opened = 1;
    if (seen.read_parameters) {
        WDF_REQUEST_PARAMETERS params;
        WDF_REQUEST_PARAMETERS_INIT(&params);
        WdfRequestGetParameters(request, &params);
        note([&] {
            seen.create_parameters = params;
            if (params.Parameters.Create.SecurityContext != nullptr)
                seen.security = *params.Parameters.Create.SecurityContext;
        });
    }
    if (seen.complete_in_callback)
        WdfRequestComplete(request, seen.create_status);
}

VOID file_cleanup(WDFFILEOBJECT file) {
    note([&] { seen.events.push_back(file ? "cleanup" : "cleanup-null"); });
}

VOID file_close(WDFFILEOBJECT file) {
    note([&] { seen.events.push_back(file ? "close" : "close-null"); });
}

VOID file_context_cleanup(WDFOBJECT) {
    note([&] { seen.events.push_back("context-cleanup"); });
}

VOID read_note_file(WDFQUEUE, WDFREQUEST request, size_t) {
    WDFFILEOBJECT f = WdfRequestGetFileObject(request);
    note([&] { seen.request_file = f; });
    WdfRequestComplete(request, STATUS_SUCCESS);
}

class file_object_test : public io_fixture {
  protected:
    void SetUp() override { seen = {}; }
    void attach_with(ULONG file_class, bool callbacks = true) {
        platform::wdf::io_device_config cfg;
        WDF_FILEOBJECT_CONFIG_INIT(&cfg.file_config, callbacks ? file_create : nullptr,
                                   callbacks ? file_close : nullptr,
                                   callbacks ? file_cleanup : nullptr);
        cfg.file_config.FileObjectClass = static_cast<WDF_FILEOBJECT_CLASS>(file_class);
        cfg.has_file_attributes = true;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&cfg.file_attributes, SESSION);
        cfg.file_attributes.EvtCleanupCallback = file_context_cleanup;
        attach(cfg);
    }
};

TEST_F(file_object_test, open_use_cleanup_close) {
    attach_with(WdfFileObjectWdfCannotUseFsContexts | WdfFileObjectCanBeOptional);
    WDF_IO_QUEUE_CONFIG qc;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
    qc.EvtIoRead = read_note_file;
    ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, nullptr), STATUS_SUCCESS);

    FILE_OBJECT f = make_file();
    auto create = send(IRP_MJ_CREATE, 0, 0, &f);
    ASSERT_TRUE(create->completed());
    EXPECT_EQ(create->status, STATUS_SUCCESS);
    ASSERT_NE(seen.created, nullptr);
    EXPECT_EQ(GetSession(seen.created)->opened, 1);
    EXPECT_EQ(WdfFileObjectWdmGetFileObject(seen.created), &f);
    EXPECT_EQ(WdfFileObjectGetDevice(seen.created), handle());
    EXPECT_EQ(WdfDeviceGetFileObject(handle(), &f), seen.created);
    EXPECT_EQ(f.FsContext, nullptr);  // the driver's to use
    EXPECT_EQ(f.FsContext2, nullptr);

    auto read = send(IRP_MJ_READ, 0, 4, &f);
    ASSERT_TRUE(read->wait());
    EXPECT_EQ(seen.request_file, seen.created);
    // With the optional bit, a request without a WDM file object has no framework one.
    auto orphan = send(IRP_MJ_READ, 0, 4, nullptr);
    ASSERT_TRUE(orphan->wait());
    EXPECT_EQ(seen.request_file, nullptr);

    auto cleanup = send(IRP_MJ_CLEANUP, 0, 0, &f);
    ASSERT_TRUE(cleanup->completed());
    WDFFILEOBJECT was = seen.created;
    auto close = send(IRP_MJ_CLOSE, 0, 0, &f);
    ASSERT_TRUE(close->completed());
    EXPECT_EQ(close->status, STATUS_SUCCESS);
    EXPECT_EQ(seen.events,
              (std::vector<std::string>{"create", "cleanup", "close", "context-cleanup"}));
    EXPECT_EQ(WdfDeviceGetFileObject(handle(), &f), nullptr);
    EXPECT_EQ(platform::wdf::fx_object::find(was), nullptr);
}

TEST_F(file_object_test, failed_create_leaves_no_file_object) {
    attach_with(WdfFileObjectWdfCannotUseFsContexts);
    seen.create_status = STATUS_ACCESS_DENIED;
    FILE_OBJECT f = make_file();
    auto create = send(IRP_MJ_CREATE, 0, 0, &f);
    ASSERT_TRUE(create->completed());
    EXPECT_EQ(create->status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(WdfDeviceGetFileObject(handle(), &f), nullptr);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"create", "context-cleanup"}));
}

TEST_F(file_object_test, create_completed_later_from_another_thread) {
    attach_with(WdfFileObjectWdfCanUseFsContext);
    seen.complete_in_callback = false;
    FILE_OBJECT f = make_file();
    auto create = send(IRP_MJ_CREATE, 0, 0, &f);
    EXPECT_FALSE(create->completed());
    EXPECT_NE(f.FsContext, nullptr);  // this class keeps the framework object there
    auto t = scheduler::get().start_thread(
        "opener", [&] { WdfRequestComplete(seen.create_request, STATUS_SUCCESS); });
    t->join();
    ASSERT_TRUE(create->completed());
    EXPECT_EQ(create->status, STATUS_SUCCESS);
    send(IRP_MJ_CLEANUP, 0, 0, &f);
    send(IRP_MJ_CLOSE, 0, 0, &f);
    EXPECT_EQ(f.FsContext, nullptr);
}

TEST_F(file_object_test, without_callbacks_create_succeeds) {
    attach();  // no file-object configuration at all: no framework file objects
    FILE_OBJECT f = make_file();
    auto create = send(IRP_MJ_CREATE, 0, 0, &f);
    ASSERT_TRUE(create->completed());
    EXPECT_EQ(create->status, STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceGetFileObject(handle(), &f), nullptr);
    EXPECT_EQ(send(IRP_MJ_CLEANUP, 0, 0, &f)->status, STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MJ_CLOSE, 0, 0, &f)->status, STATUS_SUCCESS);
}

TEST_F(file_object_test, exclusive_device_refuses_a_second_open) {
    platform::wdf::io_device_config cfg;
    cfg.exclusive = true;
    attach(cfg);
    FILE_OBJECT f1 = make_file(), f2 = make_file();
    EXPECT_EQ(send(IRP_MJ_CREATE, 0, 0, &f1)->status, STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MJ_CREATE, 0, 0, &f2)->status, STATUS_ACCESS_DENIED);
    send(IRP_MJ_CLEANUP, 0, 0, &f1);
    send(IRP_MJ_CLOSE, 0, 0, &f1);
    EXPECT_EQ(send(IRP_MJ_CREATE, 0, 0, &f2)->status, STATUS_SUCCESS);
}

TEST_F(file_object_test, create_parameters_carry_the_security_context_and_the_options) {
    attach_with(WdfFileObjectWdfCannotUseFsContexts);
    seen.read_parameters = true;
    FILE_OBJECT f = make_file();
    auto box = make(IRP_MJ_CREATE, 0, 0, &f);
    // As the I/O manager builds a create for CreateFileW(GENERIC_READ, FILE_SHARE_READ,
    // OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL).
    const ULONG options = (FILE_OPEN << 24) | FILE_NON_DIRECTORY_FILE;
    box->irp->desired_access = FILE_READ_DATA | SYNCHRONIZE;
    box->irp->create_options = options;
    box->irp->share_access = FILE_SHARE_READ;
    box->irp->file_attributes = FILE_ATTRIBUTE_NORMAL;
    box->irp->security_context.DesiredAccess = FILE_READ_DATA | SYNCHRONIZE;
    box->irp->security_context.FullCreateOptions = options;
    send(box);
    ASSERT_TRUE(box->completed());
    const auto& create = seen.create_parameters.Parameters.Create;
    EXPECT_EQ(seen.create_parameters.Type, WdfRequestTypeCreate);
    ASSERT_NE(create.SecurityContext, nullptr);
    EXPECT_EQ(seen.security.DesiredAccess, static_cast<ACCESS_MASK>(FILE_READ_DATA | SYNCHRONIZE));
    EXPECT_EQ(create.Options, options);
    EXPECT_EQ(create.ShareAccess, FILE_SHARE_READ);
    EXPECT_EQ(create.FileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(create.EaLength, 0u);
    send(IRP_MJ_CLEANUP, 0, 0, &f);
    send(IRP_MJ_CLOSE, 0, 0, &f);
}

TEST_F(file_object_test, a_create_without_a_file_object_needs_an_exclusive_device_keeping_one) {
    // The optional bit does not make a create without a WDM file object acceptable.
    attach_with(WdfFileObjectWdfCanUseFsContext | WdfFileObjectCanBeOptional);
    EXPECT_EQ(send(IRP_MJ_CREATE, 0, 0, nullptr)->status, STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(seen.events.empty());
}

TEST_F(file_object_test, an_exclusive_device_keeps_one_file_object_for_requests_without_one) {
    platform::wdf::io_device_config cfg;
    WDF_FILEOBJECT_CONFIG_INIT(&cfg.file_config, file_create, file_close, file_cleanup);
    cfg.file_config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    cfg.has_file_attributes = true;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&cfg.file_attributes, SESSION);
    cfg.exclusive = true;
    attach(cfg);
    WDF_IO_QUEUE_CONFIG qc;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
    qc.EvtIoRead = read_note_file;
    ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MJ_CREATE, 0, 0, nullptr)->status, STATUS_SUCCESS);
    ASSERT_NE(seen.created, nullptr);
    ASSERT_TRUE(send(IRP_MJ_READ, 0, 4, nullptr)->wait());
    EXPECT_EQ(seen.request_file, seen.created);
    send(IRP_MJ_CLEANUP, 0, 0, nullptr);
    send(IRP_MJ_CLOSE, 0, 0, nullptr);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"create", "cleanup", "close"}));
}

using file_object_death_test = file_object_test;

TEST_F(file_object_death_test, driver_cannot_delete_a_file_object) {
    EXPECT_DEATH(
        {
            attach_with(WdfFileObjectWdfCannotUseFsContexts);
            FILE_OBJECT f = make_file();
            send(IRP_MJ_CREATE, 0, 0, &f);
            WdfObjectDelete(seen.created);
        },
        "0x0000010D");
}

TEST_F(file_object_death_test, without_the_optional_bit_a_request_needs_its_file_object) {
    EXPECT_DEATH(
        {
            attach_with(WdfFileObjectWdfCannotUseFsContexts);
            WDF_IO_QUEUE_CONFIG qc;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
            qc.EvtIoRead = read_note_file;
            WdfIoQueueCreate(handle(), &qc, nullptr, nullptr);
            send(IRP_MJ_READ, 0, 4, nullptr)->wait();
        },
        "0x0000010D.*without a file object.*WdfFileObjectCanBeOptional");
}

}  // namespace
