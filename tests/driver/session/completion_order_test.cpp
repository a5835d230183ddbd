// Requests of a session are completed with none of the session's own locks held. Those locks
// are children of the handle's file object, and completing a request can drop the file
// object's last reference: the program closes its handle, the framework deletes the file
// object with its locks, and a lock released after the completion is a lock used after it
// was deleted. Each order is forced with pause points: a request presented on a thread that
// is not the program's (queued behind another session's read), held as it releases the
// session's lock while the program closes its handle; and each completion of the read and
// write paths, delivery and the port loss, held at its entry while the test tries the
// session's locks.
#include "session_fixture.h"

#include "core/pause_points.h"
#include "core/scheduler.h"
#include "kernel/pool.h"
#include "smd/far_end.h"

#include "vrax_pool.h"
#include "vrax_wire.h"

namespace session_test {
namespace {

namespace far_end = smd::far_end;
namespace pp = platform::pause_points;
using platform::scheduler;

// A message of service 3: type, transaction id, message id 0x20, no TLVs.
bytes service_message(std::uint8_t type, std::uint8_t txn) {
    return {type, txn, 0x00, 0x20, 0x00, 0x00, 0x00};
}

// A frame of service 3 to every client (broadcast) around `message`.
bytes broadcast_frame(const bytes& message) {
    bytes f{0x01, 0, 0, 0x00, 0x03, 0xFF};
    f.insert(f.end(), message.begin(), message.end());
    f[1] = static_cast<std::uint8_t>((f.size() - 1) & 0xFF);
    f[2] = static_cast<std::uint8_t>((f.size() - 1) >> 8);
    return f;
}

// Whether `lock` is free: taken and given back at once, without waiting.
bool lock_free(WDFWAITLOCK lock) {
    LONGLONG now = 0;
    if (WdfWaitLockAcquire(lock, &now) != STATUS_SUCCESS) {
        return false;
    }
    WdfWaitLockRelease(lock);
    return true;
}

// The oldest write waiting in the session's WriteBacklog.
WDFREQUEST oldest_held_write(PCLIENT_CONTEXT session) {
    WDFREQUEST found = nullptr;
    EXPECT_EQ(WdfIoQueueFindRequest(session->WriteBacklog, nullptr, nullptr, nullptr, &found),
              STATUS_SUCCESS);
    if (found != nullptr) {
        WdfObjectDereference(found);  // the handle stays valid while the request is held
    }
    return found;
}

class CompletionOrder : public Session {
  protected:
    // Another session's overlapped read, held inside EvtIoRead (as it takes its ReceiveLock)
    // on the thread "presenter": the sequential default queue is busy, so the next request
    // waits in it and is presented on "presenter" once the read has parked, not on the
    // thread that issued it.
    void occupy_queue() {
        busy_ = open_vrax(/*overlapped=*/true);
        PCLIENT_CONTEXT other = session_of(busy_);
        ASSERT_NE(other, nullptr);
        in_read_ = std::make_unique<pp::hold>("WdfWaitLockAcquire", other->ReceiveLock);
        presenter_ = scheduler::get().start_thread("presenter",
                                                   [this] { busy_read_ = start_read(busy_, 64); });
        ASSERT_TRUE(in_read_->wait_arrived()) << in_read_->describe();
    }
    void free_queue() { in_read_->release(); }
    void TearDown() override {
        in_read_.reset();
        if (presenter_) {
            presenter_->join();
        }
        if (busy_ != nullptr) {
            CloseHandle(busy_);
        }
        busy_read_.reset();
        Session::TearDown();
    }

    // Holds the next completion made on a thread other than the test's own.
    static pp::hold_options other_thread() {
        pp::hold_options o;
        o.filter = [me = scheduler::get().current().name](const pp::site& s) {
            return s.thread != me;
        };
        return o;
    }

    HANDLE busy_ = nullptr;
    std::unique_ptr<pp::hold> in_read_;
    std::shared_ptr<scheduler::joinable> presenter_;
    std::unique_ptr<pending_io> busy_read_;
};

// The program closes its handle between the write's completion and the release of the
// session's WriteLock. Completed under the lock, the write let the framework delete the file
// object, and the lock with it, before the release.
TEST_F(CompletionOrder, AWriteIsCompletedOnlyAfterTheSessionsLockIsReleased) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, false);
    occupy_queue();
    auto write = start_write(h, service_message(0, 1));
    EXPECT_EQ(write->start_error, static_cast<DWORD>(ERROR_IO_PENDING));

    pp::hold at_release("WdfWaitLockRelease", s->WriteLock);
    free_queue();
    ASSERT_TRUE(at_release.wait_arrived()) << at_release.describe();
    EXPECT_EQ(at_release.thread_name(), "presenter");
    EXPECT_FALSE(write->done()) << "completed with the session's WriteLock held";
    // The pending write keeps the file object; the close waits for it.
    CloseHandle(h);
    at_release.release();
    ASSERT_TRUE(wait_until([&] { return write->done(); }));
    EXPECT_EQ(static_cast<NTSTATUS>(write->ov.Internal), STATUS_SUCCESS);
    EXPECT_EQ(write->ov.InternalHigh, 7u);
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(bytes(frame->begin() + 6, frame->end()), service_message(0, 1));
}

// A write held back (fifteen outstanding) is the backlog's once forwarded: the program can
// cancel it and close its handle before the presenting thread has released the WriteLock.
TEST_F(CompletionOrder, AHeldWriteCancelledAndClosedUnderTheForwardLeavesTheLockUsable) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, false);
    set_outstanding(s, VRAX_MAX_OUTSTANDING_WRITES);
    occupy_queue();
    auto write = start_write(h, service_message(0, 1));

    pp::hold at_release("WdfWaitLockRelease", s->WriteLock);
    free_queue();
    ASSERT_TRUE(at_release.wait_arrived()) << at_release.describe();
    EXPECT_FALSE(write->done());
    ASSERT_TRUE(CancelIoEx(h, &write->ov));
    ASSERT_TRUE(wait_until([&] { return write->done(); }));
    EXPECT_EQ(static_cast<NTSTATUS>(write->ov.Internal), STATUS_CANCELLED);
    CloseHandle(h);  // the file object goes now, with the lock the presenter still holds
    at_release.release();
    ASSERT_TRUE(at_release.wait_left()) << at_release.describe();
    EXPECT_FALSE(next_service_frame(200).has_value());
}

// Reading a type-2 message gives a unit back and sends the held write: the write and then the
// read are completed with neither the ReceiveLock nor the WriteLock held.
TEST_F(CompletionOrder, TheReadPathCompletesTheHeldWriteAndTheReadOutsideTheSessionsLocks) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, false);
    set_outstanding(s, VRAX_MAX_OUTSTANDING_WRITES);
    auto held = start_write(h, service_message(0, 1));
    store_message(s, service_message(2, 7));

    pp::hold write_done("WdfRequestCompleteWithInformation", oldest_held_write(s));
    std::unique_ptr<pending_io> read;
    auto reader = scheduler::get().start_thread("reader", [&] { read = start_read(h, 64); });
    ASSERT_TRUE(write_done.wait_arrived()) << write_done.describe();
    EXPECT_FALSE(held->done());
    EXPECT_TRUE(lock_free(s->WriteLock)) << "the held write completed under the WriteLock";
    EXPECT_TRUE(lock_free(s->ReceiveLock)) << "the held write completed under the ReceiveLock";
    pp::hold read_done("WdfRequestCompleteWithInformation", other_thread());
    write_done.release();
    ASSERT_TRUE(read_done.wait_arrived()) << read_done.describe();
    EXPECT_TRUE(held->done());
    EXPECT_TRUE(lock_free(s->WriteLock));
    EXPECT_TRUE(lock_free(s->ReceiveLock)) << "the read completed under the ReceiveLock";
    read_done.release();
    reader->join();
    DWORD n = 0;
    EXPECT_EQ(read->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(held->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(outstanding(s), VRAX_MAX_OUTSTANDING_WRITES);
    CloseHandle(h);
}

// The same for a type-2 message handed to a waiting read on the port's service thread.
TEST_F(CompletionOrder, DeliveryCompletesTheHeldWriteAndTheReadOutsideTheSessionsLocks) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, false);
    set_outstanding(s, VRAX_MAX_OUTSTANDING_WRITES);
    auto held = start_write(h, service_message(0, 1));
    auto read = start_read(h, 64);
    ASSERT_FALSE(read->done());

    pp::hold write_done("WdfRequestCompleteWithInformation", oldest_held_write(s));
    ASSERT_EQ(far_end::queue_read(0, broadcast_frame(service_message(2, 7))), STATUS_SUCCESS);
    ASSERT_TRUE(write_done.wait_arrived()) << write_done.describe();
    EXPECT_FALSE(held->done());
    EXPECT_TRUE(lock_free(s->WriteLock)) << "the held write completed under the WriteLock";
    EXPECT_TRUE(lock_free(s->ReceiveLock));
    pp::hold read_done("WdfRequestCompleteWithInformation", other_thread());
    write_done.release();
    ASSERT_TRUE(read_done.wait_arrived()) << read_done.describe();
    EXPECT_TRUE(lock_free(s->WriteLock));
    EXPECT_TRUE(lock_free(s->ReceiveLock));
    read_done.release();
    DWORD n = 0;
    EXPECT_EQ(read->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(held->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    CloseHandle(h);
}

// Writes in flight when the port is lost can never be answered: the session starts again with
// nothing outstanding, and the writes held back behind them end (0 bytes, the port being
// closed, each completed outside the WriteLock) instead of stalling the session for good.
TEST_F(CompletionOrder, APortLossForgetsTheOutstandingWritesAndEndsTheHeldOnes) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, false);
    set_outstanding(s, VRAX_MAX_OUTSTANDING_WRITES);
    auto first = start_write(h, service_message(0, 1));
    auto second = start_write(h, service_message(0, 2));
    ASSERT_FALSE(first->done());

    pp::hold held_done("WdfRequestCompleteWithInformation", oldest_held_write(s));
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(held_done.wait_arrived()) << held_done.describe();
    EXPECT_TRUE(lock_free(s->WriteLock)) << "a held write completed under the WriteLock";
    held_done.release();
    DWORD n = 0xFFFF;
    EXPECT_EQ(first->finish(h, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(second->finish(h, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(outstanding(s), 0u);

    // After the re-open the session writes at once.
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(
        [] { return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE; }));
    auto after = start_write(h, service_message(0, 3));
    EXPECT_EQ(after->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(outstanding(s), 1u);
    CloseHandle(h);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_SEND).count, 0u);
}

}  // namespace
}  // namespace session_test
