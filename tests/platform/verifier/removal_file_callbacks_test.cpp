// File callbacks that return with something the driver had to restore: the verifier names the
// callback (EvtDeviceFileCreate, EvtFileCleanup, EvtFileClose) in its bug check.
#include <gtest/gtest.h>

#include <wdf.h>

#include "../wdf_io/wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

WDFWAITLOCK wait_lock = nullptr;
WDFSPINLOCK spin_lock = nullptr;

VOID CreateKeepingAWaitLock(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
    WdfWaitLockAcquire(wait_lock, nullptr);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID CleanupKeepingASpinLock(WDFFILEOBJECT) {
    WdfSpinLockAcquire(spin_lock);
}

VOID CloseAtDispatchLevel(WDFFILEOBJECT) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

VOID CreateAndComplete(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
    WdfRequestComplete(request, STATUS_SUCCESS);
}

class removal_file_callbacks_death_test : public io_fixture {
  protected:
    void attach_with(PFN_WDF_DEVICE_FILE_CREATE create, PFN_WDF_FILE_CLOSE close,
                     PFN_WDF_FILE_CLEANUP cleanup) {
        platform::wdf::io_device_config cfg;
        WDF_FILEOBJECT_CONFIG_INIT(&cfg.file_config, create, close, cleanup);
        cfg.file_config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
        attach(cfg);
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait_lock), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin_lock), STATUS_SUCCESS);
    }
    FILE_OBJECT file = make_file();
};

TEST_F(removal_file_callbacks_death_test, create_returning_with_a_wait_lock) {
    attach_with(CreateKeepingAWaitLock, nullptr, nullptr);
    EXPECT_DEATH(send(IRP_MJ_CREATE, 0, 0, &file),
                 "0x000000C4.*lock still held when EvtDeviceFileCreate \\(.*\\) returned: .* "
                 "acquired at .*removal_");
}

TEST_F(removal_file_callbacks_death_test, cleanup_returning_with_a_spin_lock) {
    attach_with(CreateAndComplete, nullptr, CleanupKeepingASpinLock);
    send(IRP_MJ_CREATE, 0, 0, &file);
    EXPECT_DEATH(send(IRP_MJ_CLEANUP, 0, 0, &file),
                 "0x000000C4.*lock still held when EvtFileCleanup \\(.*\\) returned: .* acquired "
                 "at .*removal_");
}

TEST_F(removal_file_callbacks_death_test, close_returning_at_dispatch_level) {
    attach_with(CreateAndComplete, CloseAtDispatchLevel, nullptr);
    send(IRP_MJ_CREATE, 0, 0, &file);
    send(IRP_MJ_CLEANUP, 0, 0, &file);
    EXPECT_DEATH(send(IRP_MJ_CLOSE, 0, 0, &file),
                 "EvtFileClose \\(.*\\) returned at IRQL 2, called at 0");
}

}  // namespace
