// Verifier: completing a request twice, using one after completing it, and leaving one
// uncompleted when the device goes. Each message names the request's I/O kind and the
// callback that received it.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

using queue_completion_death_test = queue_fixture;

TEST_F(queue_completion_death_test, completing_a_request_twice) {
    EXPECT_DEATH(
        {
            make_queue();
            send_read();
            WdfRequestComplete(kept_at(0), STATUS_SUCCESS);
            WdfRequestComplete(kept_at(0), STATUS_SUCCESS);
        },
        "0x0000010D.*completed twice: read request .* received by EvtIoRead");
}

TEST_F(queue_completion_death_test, using_a_completed_request) {
    EXPECT_DEATH(
        {
            make_queue();
            send_read();
            WDFREQUEST r = kept_at(0);
            WdfRequestComplete(r, STATUS_SUCCESS);
            PVOID buffer = nullptr;
            (void)WdfRequestRetrieveOutputBuffer(r, 1, &buffer, nullptr);
        },
        "0x0000010D.*WdfRequestRetrieveOutputBuffer: the request has already been completed "
        "\\(read request .* received by EvtIoRead\\)");
}

TEST_F(queue_completion_death_test, never_completing_before_the_device_goes) {
    EXPECT_DEATH(
        {
            make_queue();
            send_read();
            platform::wdf::io_remove(device);
        },
        "0x0000010D.*removed while the driver still owns 1 request.* never completed: read "
        "request .* received by EvtIoRead");
}

}  // namespace
