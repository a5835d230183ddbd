// The WDK-named headers used from C: a C driver fragment (c_driver.c, c_second.c) built with
// the project's warnings and -Werror, run against the platform: its timer, serialised with a
// sequential queue, completes the pending read unless a cancel got there first. Also the
// select-any GUID and context-type definitions across C and C++ sources, and DbgPrint's
// kernel conversions.
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>

#include <memory>
#include <string>
#include <vector>

#include "c_fragment.h"
#include "c_fragment_guids.h"
#include "core/scheduler.h"
#include "io/irp.h"
#include "kernel/system_config.h"
#include "kernel/timer.h"
#include "wdf/fx_driver.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

constexpr GUID expected_guid = {
    0x6e5b7c3a, 0x1d2f, 0x4a8b, {0x9c, 0x0e, 0x31, 0x7a, 0x55, 0x20, 0xc4, 0x19}};

TEST(CHeaders, AGuidDefinedInSeveralSourcesIsOneObject) {
    // Defined by c_driver.c (INITGUID before ntddk.h), c_second.c and this file (initguid.h).
    const GUID* from_driver = CFragmentGuidFromDriver();
    EXPECT_EQ(CFragmentGuidFromSecondSource(), from_driver);
    EXPECT_EQ(&GUID_DEVINTERFACE_C_FRAGMENT, from_driver);
    EXPECT_TRUE(IsEqualGUID(*from_driver, expected_guid));
    EXPECT_EQ(GUID_DEVICE_INTERFACE_ARRIVAL.Data1, 0xcb3a4004u);  // wdmguid.h, defined twice
}

TEST(CHeaders, AContextTypeDeclaredInTwoCSourcesHasOneDescriptor) {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO info = CFragmentContextTypeFromDriver();
    EXPECT_EQ(CFragmentContextTypeFromSecondSource(), info);
    EXPECT_EQ(info->UniqueType, info);
    EXPECT_STREQ(info->ContextName, "C_QUEUE_CONTEXT");
}

TEST(CHeaders, DbgPrintFromCTakesTheKernelConversions) {
    platform::kernel::clear_debug_output();
    CFragmentPrintConversions();
    EXPECT_EQ(platform::kernel::debug_output(),
              (std::vector<std::string>{"c: echo wide upper 40 123456789abc 7\n", "c: 100%\n"}));
}

TEST(CHeaders, InterlockedCompareExchangeFromC) {
    volatile LONG value = 5;
    EXPECT_EQ(CFragmentIncrementIfPositive(&value), 6);
    EXPECT_EQ(value, 6);
    value = 0;
    EXPECT_EQ(CFragmentIncrementIfPositive(&value), 0);
    EXPECT_EQ(value, 0);
}

using platform::scheduler;

void sleep_ms(LONGLONG milliseconds) {
    LARGE_INTEGER wait;
    wait.QuadPart = -milliseconds * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

// A read sent to the fragment's device and how often it was completed.
struct sent_read {
    _IRP irp;
    int completions = 0;  // guarded by the scheduler lock
};

class CDriverFragment : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        create_device();
    }

    // The fragment's queue and timer on a started device, the timer stopped.
    void start_with_timer(LONG period_ms) {
        C_FRAGMENT_RESULT result;
        ASSERT_EQ(CFragmentCreateQueueAndTimer(device(), period_ms, &fragment, &result),
                  STATUS_SUCCESS);
        ASSERT_EQ(CFragmentDispatchReadsTo(device(), fragment), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    }

    std::unique_ptr<sent_read> send_read() {
        auto r = std::make_unique<sent_read>();
        r->irp.major = IRP_MJ_READ;
        r->irp.requestor_mode = KernelMode;
        r->irp.output_length = 64;
        r->irp.system_buffer.assign(64, 0);
        sent_read* raw = r.get();
        r->irp.on_complete = [raw](PIRP) {
            auto& s = scheduler::get();
            std::lock_guard g(s.lock());
            ++raw->completions;
            s.wake();
        };
        platform::io::call_driver(fdo(), &r->irp);
        return r;
    }
    // Waits (virtual time) for the read's completion; false when it never came.
    static bool wait_for(sent_read& r, LONGLONG ms = 1000) {
        auto& s = scheduler::get();
        const platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        return s.block(
            lk, [&r] { return r.completions > 0; }, deadline, "a read to the fragment");
    }
    static int completions(const sent_read& r) {
        std::lock_guard g(scheduler::get().lock());
        return r.completions;
    }
    // Waits until the read callback has left a request for the timer.
    bool wait_for_pending_read() {
        for (int i = 0; i < 100; ++i) {
            if (CFragmentHasCurrentRequest(fragment))
                return true;
            sleep_ms(1);
        }
        return false;
    }
    C_FRAGMENT_COUNTS counts() const {
        C_FRAGMENT_COUNTS c;
        CFragmentGetCounts(fragment, &c);
        return c;
    }

    WDFQUEUE fragment = nullptr;  // the fragment's queue
};

// What the read callback wrote for the timer run it saw, as the read returns it.
std::u16string text_of(const sent_read& r) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < r.irp.information; i += 2) {
        char16_t c =
            static_cast<char16_t>(r.irp.system_buffer[i] | r.irp.system_buffer[i + 1] << 8);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

// What the read callback writes when the timer has run `runs` times.
std::u16string runs_text(int runs) {
    std::u16string text = u"runs ";
    for (char c : std::to_string(runs))
        text.push_back(static_cast<char16_t>(c));
    return text;
}

TEST_F(CDriverFragment, QueueWithADispatchLevelTimerParentedToIt) {
    WDFQUEUE queue = nullptr;
    C_FRAGMENT_RESULT result;
    ASSERT_EQ(CFragmentCreateQueueAndTimer(device(), 20, &queue, &result), STATUS_SUCCESS);
    EXPECT_TRUE(result.ParentIsQueue);
    EXPECT_FALSE(result.FirstStartWasQueued);
    EXPECT_TRUE(result.SecondStartWasQueued);
    EXPECT_TRUE(result.StopWasQueued);

    CFragmentStartTimer(queue, 10);
    LARGE_INTEGER wait;
    wait.QuadPart = -55 * 10'000;  // runs at 10, 30 and 50 ms
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    CFragmentStopTimer(queue);
    EXPECT_EQ(CFragmentTimerRuns(queue), 3);

    // Deleted with the queue, the timer leaves nothing set behind.
    CFragmentStartTimer(queue, 10);
    WdfObjectDelete(queue);
    EXPECT_EQ(platform::kernel::timers::set_timer_count(), 0u);
}

// The echo sample's AutoSync pattern: reads wait, cancelable, in a sequential queue; the
// timer, serialised with the queue, completes them one per period. Its routine, the read
// callback and the cancel routine share the queue's callback lock, a spin lock.
TEST_F(CDriverFragment, TheTimerCompletesEachReadUnderTheQueuesLockAtDispatchLevel) {
    start_with_timer(10);
    std::vector<std::unique_ptr<sent_read>> reads;
    for (int i = 0; i < 4; ++i)
        reads.push_back(send_read());
    ASSERT_TRUE(wait_for_pending_read());
    EXPECT_EQ(completions(*reads[0]), 0) << "completed before the timer ran";

    CFragmentStartTimer(fragment, 10);
    for (auto& r : reads)
        ASSERT_TRUE(wait_for(*r));
    CFragmentStopTimer(fragment);
    // Each read was presented once the timer had completed the one before it.
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i]->irp.status, STATUS_SUCCESS);
        EXPECT_EQ(completions(*reads[i]), 1);
        std::u16string expected = runs_text(static_cast<int>(i));
        EXPECT_EQ(reads[i]->irp.information, (expected.size() + 1) * sizeof(char16_t));
        EXPECT_EQ(text_of(*reads[i]), expected);
    }
    C_FRAGMENT_COUNTS c = counts();
    EXPECT_EQ(c.TimerRuns, 4);
    EXPECT_EQ(c.TimerCompleted, 4);
    EXPECT_EQ(c.CancelCompleted, 0);
    EXPECT_EQ(c.TimerLeftToCancel, 0);
    EXPECT_EQ(c.TimerOffDispatch, 0);
    EXPECT_EQ(c.Overlaps, 0);

    // While the queue's lock is held the timer routine waits for it.
    auto pending = send_read();
    ASSERT_TRUE(wait_for_pending_read());
    CFragmentStartTimer(fragment, 10);
    WdfObjectAcquireLock(fragment);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    {
        auto& s = scheduler::get();
        const platform::ticks until = s.now() + 50 * platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, until, "the test holding the queue's lock");
    }
    EXPECT_EQ(counts().TimerRuns, 4) << "the timer ran while the queue's lock was held";
    WdfObjectReleaseLock(fragment);
    ASSERT_TRUE(wait_for(*pending));
    CFragmentStopTimer(fragment);
    EXPECT_EQ(pending->irp.status, STATUS_SUCCESS);
    EXPECT_EQ(counts().Overlaps, 0);
}

// A cancel at the very instant the timer fires: the timer's DPC and the cancelling thread run
// at once. The callback lock decides which of the two completes the read; the timer that
// finds the request already taken by the cancel leaves it to the cancel routine. Without the
// lock the timer unmarks a request the cancel routine has completed (bug check 0x10D).
TEST_F(CDriverFragment, ACancelMeetingTheTimerCompletesTheReadExactlyOnce) {
    start_with_timer(1000);
    constexpr int rounds = 300;
    constexpr LONGLONG due_ms = 5;
    std::vector<std::unique_ptr<sent_read>> reads;
    int succeeded = 0;
    int cancelled = 0;
    for (int round = 0; round < rounds; ++round) {
        const int runs_before = CFragmentTimerRuns(fragment);
        reads.push_back(send_read());
        sent_read& r = *reads.back();
        ASSERT_TRUE(wait_for_pending_read()) << "round " << round;
        // Odd rounds cancel from a second thread while the test waits for the completion.
        std::shared_ptr<scheduler::joinable> canceller;
        CFragmentStartTimer(fragment, static_cast<LONG>(due_ms));
        if (round % 2 == 1) {
            canceller = scheduler::get().start_thread("canceller", [&r] {
                sleep_ms(due_ms);
                platform::io::cancel_irp(&r.irp);
            });
        } else {
            sleep_ms(due_ms);  // wakes at the instant the timer is due
            platform::io::cancel_irp(&r.irp);
        }
        ASSERT_TRUE(wait_for(r)) << "round " << round;
        if (canceller)
            canceller->join();
        CFragmentStopTimer(fragment);  // and wait for a routine still running
        if (r.irp.status == STATUS_SUCCESS) {
            ++succeeded;
            const std::u16string expected = runs_text(runs_before);
            EXPECT_EQ(r.irp.information, (expected.size() + 1) * sizeof(char16_t));
            EXPECT_EQ(text_of(r), expected) << "round " << round;
        } else if (r.irp.status == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(r.irp.information, 0u) << "round " << round;
        } else {
            ADD_FAILURE() << "round " << round << ": status 0x" << std::hex << r.irp.status;
        }
    }
    for (auto& r : reads)
        EXPECT_EQ(completions(*r), 1);
    C_FRAGMENT_COUNTS c = counts();
    EXPECT_EQ(succeeded + cancelled, rounds);
    EXPECT_EQ(c.TimerCompleted, succeeded);
    EXPECT_EQ(c.CancelCompleted, cancelled);
    // A timer stopped just before its DPC got going does not run in that round.
    EXPECT_LE(c.TimerRuns, rounds);
    EXPECT_EQ(c.TimerOffDispatch, 0);
    EXPECT_EQ(c.Overlaps, 0);
    EXPECT_LE(c.TimerLeftToCancel, cancelled);
    RecordProperty("succeeded", succeeded);
    RecordProperty("cancelled", cancelled);
    RecordProperty("timer_left_to_cancel", c.TimerLeftToCancel);
}

TEST_F(CDriverFragment, VersionStringAsTheEchoSamplePrintsIt) {
    platform::kernel::clear_debug_output();
    ASSERT_EQ(CFragmentPrintDriverVersion(), STATUS_SUCCESS);
    EXPECT_EQ(platform::kernel::debug_output(),
              (std::vector<std::string>{
                  "C fragment on Kernel Mode Driver Framework (verifier on) version 1.15.0\n",
                  "framework 1.15 is available\n"}));
    // At DISPATCH_LEVEL the framework refuses (FxVerifierCheckIrqlLevel).
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WdfDriverRetrieveVersionString(WdfGetDriver(), string),
              STATUS_INVALID_DEVICE_REQUEST);
    KeLowerIrql(old);
    WdfObjectDelete(string);
}

TEST_F(CDriverFragment, VerifierBreakPointReportsAndStopsUnlessBreakingIsOff) {
    EXPECT_DEATH(WdfVerifierDbgBreakPoint(), "0x0000010D.*WdfVerifierDbgBreakPoint");
    platform::wdf::set_verifier_break_on_error(false);
    platform::kernel::clear_debug_output();
    WdfVerifierDbgBreakPoint();
    platform::wdf::set_verifier_break_on_error(true);
    auto lines = platform::kernel::debug_output();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "WDF detected potentially invalid operation by wdfcoretest: "
              "WdfVerifierDbgBreakPoint called\n");
}

}  // namespace
}  // namespace wdf_test
