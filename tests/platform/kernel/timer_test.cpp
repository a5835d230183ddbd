// Kernel timers and DPCs as a driver relies on them: due times in virtual time, the two
// timer types as dispatcher objects, what set and cancel return, the DPC queue's rules, and
// the IRQL a DPC routine runs at.
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/scheduler.h"
#include "kernel/timer.h"

namespace {

constexpr LONGLONG ms = 10'000;  // 100-ns units per millisecond

LARGE_INTEGER relative(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * ms;
    return t;
}

LARGE_INTEGER zero_timeout() {
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

LONGLONG now_ticks() {
    return static_cast<LONGLONG>(KeQueryInterruptTime());
}

bool signalled_now(PVOID object) {
    LARGE_INTEGER zero = zero_timeout();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}

// What a DPC routine saw each time it ran.
struct dpc_log {
    struct run {
        LONGLONG at;
        KIRQL irql;
        PVOID argument1;
        PVOID argument2;
        bool on_test_thread;
    };
    std::vector<run> runs;
    std::vector<int> order;  // the `tag`s of the DPCs sharing this log, in running order
    PKTHREAD test_thread = nullptr;
};

struct tagged_dpc {
    KDPC dpc;
    dpc_log* log;
    int tag;
};

VOID record_dpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    auto* t = static_cast<tagged_dpc*>(context);
    EXPECT_EQ(&t->dpc, dpc);
    t->log->runs.push_back({now_ticks(), KeGetCurrentIrql(), argument1, argument2,
                            KeGetCurrentThread() == t->log->test_thread});
    t->log->order.push_back(t->tag);
}

void init_tagged(tagged_dpc& t, dpc_log& log, int tag) {
    t.log = &log;
    t.tag = tag;
    KeInitializeDpc(&t.dpc, record_dpc, &t);
}

TEST(KernelTimers, RelativeNotificationTimerSignalsAtItsDueTimeAndStaysSignalled) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    LONGLONG start = now_ticks();
    EXPECT_FALSE(KeSetTimer(&timer, relative(250), nullptr));  // was not set
    EXPECT_FALSE(signalled_now(&timer));
    ASSERT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(now_ticks() - start, 250 * ms);  // virtual time went exactly to the due time
    // A notification timer stays signalled for every later wait until it is set again.
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(signalled_now(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));  // expired: no longer in the timer queue
    EXPECT_FALSE(KeSetTimer(&timer, relative(10), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting a timer clears its signal state";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(platform::kernel::timers::set_timer_count(), 0u);
}

TEST(KernelTimers, SynchronizationTimerReleasesOneWaiterAndResets) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, relative(40), nullptr);
    // Two waiters with a time-out longer than the due time: exactly one is released by the
    // expiry, the other times out.
    struct waiter {
        PKTIMER timer;
        NTSTATUS status = STATUS_PENDING;
    } other{&timer};
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(
                  &h, 0, nullptr, nullptr, nullptr,
                  [](PVOID c) {
                      auto* w = static_cast<waiter*>(c);
                      LARGE_INTEGER t = relative(100);
                      w->status = KeWaitForSingleObject(w->timer, Executive, KernelMode, FALSE, &t);
                  },
                  &other),
              STATUS_SUCCESS);
    LARGE_INTEGER t = relative(100);
    NTSTATUS mine = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &t);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(h);
    EXPECT_EQ((mine == STATUS_SUCCESS) + (other.status == STATUS_SUCCESS), 1);
    EXPECT_EQ((mine == STATUS_TIMEOUT) + (other.status == STATUS_TIMEOUT), 1);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the satisfied wait reset the timer";
}

TEST(KernelTimers, AbsoluteDueTimesUseSystemTimeAndOnesAlreadyPastExpireAtOnce) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    LONGLONG start = now_ticks();
    due.QuadPart += 75 * ms;
    KeSetTimer(&timer, due, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(now_ticks() - start, 75 * ms);

    // A due time already past signals the timer inside the set call.
    KeQuerySystemTime(&due);
    due.QuadPart -= 10 * ms;
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    // So does a relative due time of zero... which is an absolute time of zero, long past.
    LARGE_INTEGER zero = zero_timeout();
    KeSetTimer(&timer, zero, nullptr);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST(KernelTimers, SetAndCancelReportWhetherTheTimerWasInTheQueue) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = now_ticks();
    EXPECT_FALSE(KeSetTimer(&timer, relative(1000), nullptr));
    // Setting again replaces the first due time (an earlier one here).
    EXPECT_TRUE(KeSetTimer(&timer, relative(30), nullptr));
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(now_ticks() - start, 30 * ms);

    KeSetTimer(&timer, relative(50), nullptr);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    // A cancelled timer never fires: the wait runs into its own time-out.
    LARGE_INTEGER t = relative(200);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

TEST(KernelTimers, TimerIsOneOfSeveralObjectsAWaitCanName) {
    KTIMER timer;
    KEVENT event;
    KeInitializeTimer(&timer);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetTimer(&timer, relative(20), nullptr);
    PVOID objects[2] = {&event, &timer};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                       nullptr),
              STATUS_WAIT_0);
}

TEST(KernelTimers, AnHourLongTimerCostsNoRealTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    auto before = std::chrono::steady_clock::now();
    KeSetTimer(&timer, relative(3'600'000), nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST(KernelTimerDpcs, PeriodicTimerQueuesItsDpcEveryPeriodAtDispatchLevel) {
    dpc_log log;
    log.test_thread = KeGetCurrentThread();
    tagged_dpc d;
    init_tagged(d, log, 1);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = now_ticks();
    KeSetTimerEx(&timer, relative(100), 30, &d.dpc);
    LARGE_INTEGER wait = relative(170);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // expiries at 100, 130, 160
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    ASSERT_EQ(log.runs.size(), 3u);
    for (std::size_t i = 0; i < log.runs.size(); ++i) {
        EXPECT_EQ(log.runs[i].at - start, (100 + 30 * LONGLONG(i)) * ms);
        EXPECT_EQ(log.runs[i].irql, DISPATCH_LEVEL);
        EXPECT_FALSE(log.runs[i].on_test_thread);
    }
    // Each run gets the expiry's system time, low half then high half.
    ULARGE_INTEGER first;
    first.LowPart = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(log.runs[0].argument1));
    first.HighPart = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(log.runs[0].argument2));
    LARGE_INTEGER system_now;
    KeQuerySystemTime(&system_now);
    EXPECT_EQ(static_cast<LONGLONG>(first.QuadPart), system_now.QuadPart - 70 * ms);
    // Cancelled: no more runs however long we wait.
    wait = relative(500);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(log.runs.size(), 3u);
    EXPECT_EQ(platform::kernel::timers::queued_dpc_count(), 0u);
}

// A DPC that spins at DISPATCH_LEVEL until the test opens it. DPCs run one at a time, so
// while it runs every DPC queued behind it stays in the queue where the test can see it.
struct gate_dpc {
    KDPC dpc;
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};

    gate_dpc() {
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* self = static_cast<gate_dpc*>(context);
                self->entered = true;
                while (!self->open) {
                    std::this_thread::yield();
                }
            },
            this);
    }
    void close_queue() {
        ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        while (!entered) {
            std::this_thread::yield();
        }
    }
    void release() {
        open = true;
        KeFlushQueuedDpcs();
    }
};

TEST(KernelTimerDpcs, QueueHoldsEachDpcOnceAndRemoveTakesItOut) {
    dpc_log log;
    tagged_dpc a, b, c;
    init_tagged(a, log, 1);
    init_tagged(b, log, 2);
    init_tagged(c, log, 3);
    gate_dpc gate;
    gate.close_queue();
    PVOID arg1 = reinterpret_cast<PVOID>(std::uintptr_t(0x11));
    PVOID arg2 = reinterpret_cast<PVOID>(std::uintptr_t(0x22));
    EXPECT_TRUE(KeInsertQueueDpc(&a.dpc, arg1, arg2));
    EXPECT_FALSE(KeInsertQueueDpc(&a.dpc, nullptr, nullptr)) << "already queued";
    EXPECT_TRUE(KeInsertQueueDpc(&b.dpc, nullptr, nullptr));
    KeSetImportanceDpc(&c.dpc, HighImportance);
    EXPECT_TRUE(KeInsertQueueDpc(&c.dpc, nullptr, nullptr));  // goes to the head
    EXPECT_TRUE(KeRemoveQueueDpc(&b.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&b.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&gate.dpc)) << "running, no longer queued";
    gate.release();
    EXPECT_EQ(log.order, (std::vector<int>{3, 1}));
    ASSERT_EQ(log.runs.size(), 2u);
    // The first insertion's arguments stand: the refused second one changed nothing.
    EXPECT_EQ(log.runs[1].argument1, arg1);
    EXPECT_EQ(log.runs[1].argument2, arg2);
    // Once it has run, a DPC can be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&a.dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.order, (std::vector<int>{3, 1, 1}));
}

TEST(KernelTimerDpcs, CancellingATimerLeavesAnAlreadyQueuedDpcQueued) {
    dpc_log log;
    tagged_dpc d;
    init_tagged(d, log, 1);
    KTIMER timer;
    KeInitializeTimer(&timer);
    gate_dpc gate;
    gate.close_queue();
    // Due now: it expires inside the call and queues its DPC behind the gate.
    LARGE_INTEGER zero = zero_timeout();
    KeSetTimer(&timer, zero, &d.dpc);
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_EQ(platform::kernel::timers::queued_dpc_count(), 1u);
    gate.release();
    EXPECT_EQ(log.runs.size(), 1u);
}

// A DPC routine that sets an event, so a test can wait for the DPC through a dispatcher
// object rather than polling.
struct signalling_dpc {
    KDPC dpc;
    KEVENT done;
    int runs = 0;
};

TEST(KernelTimerDpcs, DpcRoutineMaySetTheEventAPassiveThreadWaitsOn) {
    signalling_dpc s;
    KeInitializeEvent(&s.done, NotificationEvent, FALSE);
    KeInitializeDpc(
        &s.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* self = static_cast<signalling_dpc*>(context);
            ++self->runs;
            KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        },
        &s);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = now_ticks();
    KeSetTimer(&timer, relative(60), &s.dpc);
    KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(now_ticks() - start, 60 * ms);
    EXPECT_EQ(s.runs, 1);
}

// ---- Misuse the verifier stops -------------------------------------------------------------

TEST(KernelTimerVerifier, DpcRoutineReturningAtAnotherIrqlIsABugCheck) {
    EXPECT_DEATH(
        {
            KDPC dpc;
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "0x0000000A.*DPC routine \\(object .*\\) returned at IRQL 0, called at 2");
}

TEST(KernelTimerVerifier, WaitingInsideADpcRoutineIsABugCheck) {
    EXPECT_DEATH(
        {
            KDPC dpc;
            KeInitializeDpc(
                &dpc,
                [](PKDPC, PVOID, PVOID, PVOID) {
                    KEVENT e;
                    KeInitializeEvent(&e, NotificationEvent, FALSE);
                    LARGE_INTEGER t = relative(1);
                    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
                },
                nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "0x0000000A.*KeWaitForSingleObject");
}

TEST(KernelTimerVerifier, FlushAbovePassiveLevelIsABugCheck) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeFlushQueuedDpcs();
        },
        "0x0000000A.*KeFlushQueuedDpcs called at IRQL 2");
}

TEST(KernelTimerVerifier, UninitialisedOrReinitialisedTimersAndDpcsAreBugChecks) {
    KTIMER never;
    std::memset(&never, 0, sizeof never);
    EXPECT_DEATH(KeSetTimer(&never, relative(1), nullptr), "0x000000C4.*never initialised");
    EXPECT_DEATH(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                 "0x000000C4.*not an initialised event, timer or thread");
    KDPC no_dpc;
    std::memset(&no_dpc, 0, sizeof no_dpc);
    EXPECT_DEATH(KeInsertQueueDpc(&no_dpc, nullptr, nullptr), "0x000000C4.*never initialised");
    EXPECT_DEATH(
        {
            KTIMER timer;
            KeInitializeTimer(&timer);
            KeSetTimer(&timer, relative(100), nullptr);
            KeInitializeTimer(&timer);
        },
        "0x000000C7.*timer that is set");
    EXPECT_DEATH(
        {
            gate_dpc gate;
            gate.close_queue();
            KDPC dpc;
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
        },
        "0x000000C7.*still queued");
}

}  // namespace
