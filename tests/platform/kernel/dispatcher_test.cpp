// Events, waits, time-outs and IRQL rules as a driver relies on them.
#include <gtest/gtest.h>
#include <wdm.h>

#include <chrono>

#include "core/scheduler.h"
#include "kernel/kernel.h"

namespace {

LARGE_INTEGER relative_ms(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

LARGE_INTEGER zero_timeout() {
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

TEST(KernelEvents, NotificationEventStaysSignalledUntilCleared) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&ev, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&ev, IO_NO_INCREMENT, FALSE), 1);  // previous state
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
    EXPECT_EQ(KeResetEvent(&ev), 1);
    EXPECT_EQ(KeResetEvent(&ev), 0);
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&ev);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
}

TEST(KernelEvents, SynchronizationEventResetsWhenAWaitIsSatisfied) {
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

struct waiter_context {
    KEVENT* gate;
    volatile LONG woken;
};

VOID wait_on_gate(PVOID context) {
    auto* c = static_cast<waiter_context*>(context);
    KeWaitForSingleObject(c->gate, Executive, KernelMode, FALSE, nullptr);
    InterlockedIncrement(&c->woken);
}

TEST(KernelEvents, SettingASynchronizationEventReleasesExactlyOneWaiter) {
    KEVENT gate;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    waiter_context ctx{&gate, 0};
    HANDLE threads[2];
    for (auto& h : threads) {
        ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       wait_on_gate, &ctx),
                  STATUS_SUCCESS);
    }
    LARGE_INTEGER delay = relative_ms(10);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);  // both threads are now waiting
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(ctx.woken, 1);
    EXPECT_EQ(KeReadStateEvent(&gate), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    for (HANDLE h : threads) {
        PVOID thread;
        ASSERT_EQ(
            ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(thread);
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    }
    EXPECT_EQ(ctx.woken, 2);
}

TEST(KernelWaits, WaitAnyReportsTheLowestSignalledIndexAndResetsOnlyIt) {
    KEVENT a, b, c;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    KeInitializeEvent(&c, SynchronizationEvent, TRUE);
    PVOID objects[] = {&a, &b, &c};
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateEvent(&c), 1);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_2);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&c, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&c), 1);  // untouched: the wait was satisfied by a
}

TEST(KernelWaits, WaitAllNeedsEveryObjectAndConsumesTheSynchronizationOnes) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, TRUE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1);  // a failed WaitAll consumes nothing
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 1);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST(KernelWaits, MoreThanThreeObjectsNeedAWaitBlockArray) {
    KEVENT ev[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&ev[i], NotificationEvent, i == 3);
        objects[i] = &ev[i];
    }
    KWAIT_BLOCK blocks[4];
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(
        KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
        STATUS_WAIT_3);
    EXPECT_DEATH(
        KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        "0x0000000C.*three objects");
    std::vector<KEVENT> many(65);
    std::vector<PVOID> ptrs;
    std::vector<KWAIT_BLOCK> many_blocks(65);
    for (auto& e : many) {
        KeInitializeEvent(&e, NotificationEvent, TRUE);
        ptrs.push_back(&e);
    }
    EXPECT_DEATH(KeWaitForMultipleObjects(65, ptrs.data(), WaitAny, Executive, KernelMode, FALSE,
                                          &zero, many_blocks.data()),
                 "0x0000000C.*64");
}

TEST(KernelWaits, TimeOutsRunInVirtualTimeWithoutRealTimePassing) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    auto real_start = std::chrono::steady_clock::now();
    ULONGLONG start = KeQueryInterruptTime();

    LARGE_INTEGER five_seconds = relative_ms(5000);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &five_seconds),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - start, 5000ull * 10'000);

    // An absolute time-out is a system time.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER deadline;
    deadline.QuadPart = now.QuadPart + 2 * 10'000'000LL;
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - now.QuadPart, 2 * 10'000'000LL);
    // An absolute time already past tests the state and returns at once.
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &now), STATUS_TIMEOUT);

    LARGE_INTEGER one_second = relative_ms(1000);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &one_second), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 8000ull * 10'000);
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));
}

TEST(KernelWaits, WaitingForeverWithNobodyToSignalIsADeadlock) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr),
                 "0x000001D4.*KeWaitForSingleObject");
}

// KeWaitForSingleObject / KeWaitForMultipleObjects: a zero time-out up to DISPATCH_LEVEL, a
// non-zero or no time-out up to APC_LEVEL; KeDelayExecutionThread up to APC_LEVEL always.
TEST(KernelWaits, WaitsAboveDispatchOrWithATimeOutAboveApcAreBugChecks) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, TRUE);
    PVOID objects[] = {&ev};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    LARGE_INTEGER one = relative_ms(1);
    EXPECT_DEATH(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &one),
                 "0x0000000A.*KeWaitForSingleObject with a non-zero time-out at IRQL 2");
    EXPECT_DEATH(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr),
                 "0x0000000A.*KeWaitForSingleObject with no time-out at IRQL 2");
    EXPECT_DEATH(
        KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &one, nullptr),
        "0x0000000A.*KeWaitForMultipleObjects with a non-zero time-out");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &one), "0x0000000A");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &zero),
                 "0x0000000A.*KeDelayExecutionThread at IRQL 2");
    KeLowerIrql(old);

    // At APC_LEVEL every kind of wait is allowed.
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &one), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(
        KeWaitForMultipleObjects(1, objects, WaitAll, Executive, KernelMode, FALSE, &one, nullptr),
        STATUS_WAIT_0);
    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &one), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - before, 10'000ull);
    KeResetEvent(&ev);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &one), STATUS_TIMEOUT);
    KeLowerIrql(old);

    KeRaiseIrql(HIGH_LEVEL, &old);
    EXPECT_DEATH(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero),
                 "0x0000000A.*a zero time-out.*above DISPATCH_LEVEL");
    KeLowerIrql(old);
}

// A positive time-out is an absolute system time (KeQuerySystemTime's clock), a negative one
// an interval, for every routine that takes one.
TEST(KernelWaits, AbsoluteAndRelativeTimeOutsOfMultipleWaitsAndDelays) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    LARGE_INTEGER at;
    at.QuadPart = start.QuadPart + 3 * 10'000'000LL;
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &at, nullptr),
        STATUS_TIMEOUT);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart - start.QuadPart, 3 * 10'000'000LL);
    LARGE_INTEGER interval = relative_ms(250);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &interval,
                                       nullptr),
              STATUS_TIMEOUT);
    at.QuadPart = now.QuadPart + 250 * 10'000LL + 2 * 10'000'000LL;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &at), STATUS_SUCCESS);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart - start.QuadPart, (5 * 1000 + 250) * 10'000LL);
    // A delay until a time already past returns at once.
    at.QuadPart = start.QuadPart;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &at), STATUS_SUCCESS);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart, now.QuadPart);
}

TEST(KernelWaits, WaitingOnSomethingThatIsNotADispatcherObjectIsABugCheck) {
    KEVENT never_initialised{};
    never_initialised.Header.Type = 0x55;
    LARGE_INTEGER zero = zero_timeout();
    EXPECT_DEATH(KeWaitForSingleObject(&never_initialised, Executive, KernelMode, FALSE, &zero),
                 "0x000000C4.*not an initialised event");
    EXPECT_DEATH(KeSetEvent(&never_initialised, IO_NO_INCREMENT, FALSE),
                 "0x000000C4.*never initialised");
}

TEST(KernelIrql, RaiseLowerAndPagedCode) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    PAGED_CODE();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    PAGED_CODE();  // pageable code may run at APC_LEVEL
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_DEATH(PAGED_CODE(), "0x0000000A.*pageable code");
    EXPECT_DEATH(KeRaiseIrql(PASSIVE_LEVEL, &old), "0x00000009");
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "0x0000000A");
}

}  // namespace
