// Verifier: a synchronous purge (or stop) of a queue from one of that queue's own callbacks
// would wait for the callback it is called from.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

VOID purging_read(WDFQUEUE queue, WDFREQUEST request, size_t) {
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfIoQueuePurgeSynchronously(queue);
}

VOID stopping_read(WDFQUEUE queue, WDFREQUEST request, size_t) {
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfIoQueueStopSynchronously(queue);
}

using queue_purge_death_test = queue_fixture;

TEST_F(queue_purge_death_test, purging_a_queue_from_its_own_callback) {
    EXPECT_DEATH(
        {
            make_queue(purging_read);
            send_read();
        },
        "0x0000010D.*WdfIoQueuePurgeSynchronously called from a callback of the same queue");
}

TEST_F(queue_purge_death_test, stopping_a_queue_synchronously_from_its_own_callback) {
    EXPECT_DEATH(
        {
            make_queue(stopping_read);
            send_read();
        },
        "0x0000010D.*WdfIoQueueStopSynchronously called from a callback of the same queue");
}

}  // namespace
