// The WDK-named headers used from C: a C driver fragment (c_driver.c, c_second.c) built with
// the project's warnings and -Werror, run against the platform. Also the select-any GUID and
// context-type definitions across C and C++ sources, and DbgPrint's kernel conversions.
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>

#include "c_fragment.h"
#include "c_fragment_guids.h"
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

class CDriverFragment : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        create_device();
    }
};

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
