// Shared set-up of the queue verifier tests: a device with a sequential default queue whose
// callbacks the test chooses, on the wdf_io harness.
#pragma once

#include <gtest/gtest.h>

#include <wdf.h>

#include <vector>

#include "../wdf_io/wdf_io_harness.h"

namespace queue_verifier {

using namespace wdf_io_test;

// Requests the callbacks kept, in arrival order. Guarded by the scheduler lock.
inline std::vector<WDFREQUEST>& kept() {
    static std::vector<WDFREQUEST> k;
    return k;
}

inline VOID keep_read(WDFQUEUE, WDFREQUEST request, size_t) {
    note([&] { kept().push_back(request); });
}

inline WDFREQUEST kept_at(size_t i) {
    std::lock_guard g(scheduler::get().lock());
    return kept().at(i);
}

class queue_fixture : public io_fixture {
  protected:
    void SetUp() override {
        kept().clear();
        attach();
    }
    // A sequential (or `type`) default queue with `read` for reads.
    WDFQUEUE make_queue(PFN_WDF_IO_QUEUE_IO_READ on_read = keep_read,
                        WDF_IO_QUEUE_DISPATCH_TYPE type = WdfIoQueueDispatchSequential) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, type);
        cfg.EvtIoRead = on_read;
        cfg.PowerManaged = WdfFalse;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, WDF_NO_OBJECT_ATTRIBUTES, &q), STATUS_SUCCESS);
        return q;
    }
    // Sends a read and keeps its IRP alive for the test.
    void send_read() { boxes.push_back(send(IRP_MJ_READ, 0, 4)); }
    std::vector<std::shared_ptr<irp_box>> boxes;
};

}  // namespace queue_verifier
