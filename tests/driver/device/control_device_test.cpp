// The control device: what device add builds, the fatal and ignored failures of its steps,
// the refused query-stop and query-remove, the queue across the working-state callbacks,
// requests cancelled in the queue, the kernel client interface and the hardware setting.
#include <gtest/gtest.h>

#include <cstring>

#include "core/faults.h"
#include "driver/device.h"
#include "io/security.h"
#include "ioctl/kernel_client.h"
#include "kernel/object_manager.h"
#include "kernel/tracing.h"
#include "port/hardware.h"
#include "vrax_device.h"
#include "vrax_harness.h"
#include "wpp/trace_session.h"

#include <vrax/vrax_interface.h>
#include <vrax/vrax_ioctl.h>

namespace {

namespace pnp = platform::pnp;
namespace io = platform::io;
namespace ob = platform::ob;
namespace faults = platform::faults;
using platform::wpp::trace_session;
using platform::wpp::vrax_control_guid;
using vrax_test::harness;
using vrax_test::open_handle;

bool named(std::u16string_view path) {
    return NT_SUCCESS(ob::lookup(path).status);
}

// A queue the test adds in front of the driver's default queue for controls: each control it
// is given goes on to the default queue, stopped first, so that the request waits there
// having been presented once.
WDFQUEUE forward_target = nullptr;
VOID ForwardToStoppedDefaultQueue(WDFQUEUE Queue, WDFREQUEST Request, size_t, size_t, ULONG) {
    UNREFERENCED_PARAMETER(Queue);
    WdfIoQueueStop(forward_target, nullptr, nullptr);
    NTSTATUS status = WdfRequestForwardToIoQueue(Request, forward_target);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
    }
}

class ControlDevice : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(h.load(), STATUS_SUCCESS); }
    harness h;
};

TEST_F(ControlDevice, DeviceAddBuildsDeviceQueueAndDriverWideObjects) {
    std::memset(ServiceVersionTable, 0x5A, sizeof(ServiceVersionTable));
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);

    ASSERT_NE(::ControlDevice, nullptr);
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(::ControlDevice);
    EXPECT_EQ(context->Device, ::ControlDevice);
    EXPECT_NE(context->ClientQueue, nullptr);
    EXPECT_EQ(WdfDeviceGetDefaultQueue(::ControlDevice), context->ClientQueue);
    EXPECT_NE(context->InterfaceLock, nullptr);
    EXPECT_FALSE(VraxInterfaceEnabled(context));
    EXPECT_EQ(context->PortCount, 0u);
    for (auto* object :
         {static_cast<void*>(ClientSessions), static_cast<void*>(KernelClients),
          static_cast<void*>(ClientSessionsLock), static_cast<void*>(ClientQueueLock),
          static_cast<void*>(KernelClientsLock)}) {
        EXPECT_NE(object, nullptr);
    }
    EXPECT_EQ(WdfCollectionGetCount(ClientSessions), 0u);
    EXPECT_TRUE(ClientQueueStopped);
    for (PKEVENT event : {&PortStopRequestEvent, &PortStopEvent, &PortReadyEvent}) {
        EXPECT_FALSE(vrax_test::event_signalled(event));
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(ServiceVersionTable);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(ServiceVersionTable),
                            [](unsigned char b) { return b == 0; }));

    EXPECT_TRUE(named(u"\\Device\\VRAX"));
    EXPECT_TRUE(named(u"\\DosDevices\\VRAX"));
    const WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(context->ClientQueue, nullptr, nullptr);
    EXPECT_TRUE(WDF_IO_QUEUE_READY(state)) << std::hex << state;
}

TEST_F(ControlDevice, FatalStepFailureFailsDeviceAddAndLeavesNothing) {
    struct step {
        const char* routine;
        unsigned nth;
    };
    const step steps[] = {
        {"WdfDeviceInitAssignName", 1},     {"WdfDeviceCreate", 1},
        {"WdfDeviceCreateSymbolicLink", 1}, {"WdfIoQueueCreate", 1},
        {"WdfCollectionCreate", 1},         {"WdfWaitLockCreate", 1},
        {"WdfWaitLockCreate", 2},           {"WdfWaitLockCreate", 3},
        {"WdfWaitLockCreate", 4},           {"WdfCollectionCreate", 2},
        {"WdfDeviceAddQueryInterface", 1},
    };
    trace_session session(vrax_control_guid(), TRACE_LEVEL_ERROR, 0x1);
    unsigned i = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << s.routine << " call " << s.nth);
        const NTSTATUS injected = vrax_test::injected_status(++i);
        faults::fail_nth(s.routine, s.nth, injected);
        EXPECT_EQ(h.add_and_start(), injected);
        EXPECT_EQ(pnp::state(h.node()), pnp::device_state::failed);
        if (i > 2) {
            // The device existed: its clean-up shut the ports down, which needs the events
            // initialised although device add never reached the step that used to do it.
            EXPECT_TRUE(vrax_test::event_signalled(&PortStopEvent));
        }
        faults::clear();
        EXPECT_FALSE(named(u"\\Device\\VRAX"));
        EXPECT_FALSE(named(u"\\DosDevices\\VRAX"));
    }
    EXPECT_EQ(session.count_at(TRACE_LEVEL_ERROR), std::size(steps));

    // A device add after all of that builds the device as usual.
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    h.remove();
    EXPECT_EQ(h.unload(), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::final_check_report().empty());
}

TEST_F(ControlDevice, SecurityDescriptorFailureIsTracedAndIgnored) {
    trace_session session(vrax_control_guid(), TRACE_LEVEL_ERROR, 0x1);
    faults::fail_nth("WdfDeviceInitAssignSDDLString", 1, vrax_test::injected_status(1));
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    EXPECT_TRUE(session.contains("WdfDeviceInitAssignSDDLString failed 0xE0000101"));
    EXPECT_TRUE(named(u"\\Device\\VRAX"));
}

TEST_F(ControlDevice, OnlySystemAdministratorsAndUserModeDriversMayOpen) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    using io::token_kind;
    for (auto [kind, expected] :
         {std::pair{token_kind::user, STATUS_ACCESS_DENIED},
          std::pair{token_kind::local_service, STATUS_ACCESS_DENIED},
          // Past the descriptor, the create itself is refused: the interface is disabled.
          std::pair{token_kind::administrator, STATUS_NOINTERFACE},
          std::pair{token_kind::local_system, STATUS_NOINTERFACE},
          std::pair{token_kind::user_mode_driver, STATUS_NOINTERFACE}}) {
        SCOPED_TRACE(io::to_string(kind));
        const io::token caller = io::make_token(kind);
        io::open_params params;
        params.desired_access = GENERIC_READ | GENERIC_WRITE;
        params.requestor_mode = UserMode;
        params.caller = &caller;
        auto result = io::open_file(u"\\??\\VRAX", params);
        EXPECT_EQ(result.status, expected);
        if (NT_SUCCESS(result.status))
            io::close_file(std::move(result.file));
    }
}

TEST_F(ControlDevice, QueryStopAndQueryRemoveAreRefused) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(pnp::query_stop(h.node())));
    EXPECT_EQ(pnp::state(h.node()), pnp::device_state::started);
    EXPECT_FALSE(NT_SUCCESS(pnp::query_remove(h.node(), true)));
    EXPECT_EQ(pnp::state(h.node()), pnp::device_state::started);
    EXPECT_TRUE(named(u"\\Device\\VRAX"));
}

TEST_F(ControlDevice, HandlesNeedTheInterfaceAndUnknownControlsAreRefused) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    {
        open_handle refused;
        EXPECT_EQ(refused.status(), STATUS_NOINTERFACE);
    }
    harness::set_interface_enabled(true);
    open_handle handle;
    ASSERT_EQ(handle.status(), STATUS_SUCCESS);
    // The controls are served (tests/driver/ioctl): without a port the client-id request
    // cannot be sent.
    EXPECT_EQ(handle.control(IOCTL_VRAX_GET_CLIENT_ID), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle.control(0x22000), STATUS_INVALID_DEVICE_REQUEST);
    // Reads and writes belong to the session paths now (tests/driver/session): a read of an
    // empty store waits for a message, and an unbound session's write is accepted.
    EXPECT_EQ(handle.write(), STATUS_SUCCESS);
}

TEST_F(ControlDevice, RequestCancelledInTheQueueCompletesCancelled) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    harness::set_interface_enabled(true);
    open_handle handle;
    ASSERT_EQ(handle.status(), STATUS_SUCCESS);

    // A stopped queue keeps what arrives; the cancel finds the request still waiting there.
    WDFQUEUE queue = GetVraxDeviceContext(::ControlDevice)->ClientQueue;
    WdfIoQueueStopSynchronously(queue);
    auto request = handle.start_control(IOCTL_VRAX_READ_MESSAGE);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(io::request_done(request));
    EXPECT_EQ(io::cancel_requests(handle.file(), nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(io::wait_request(request), STATUS_CANCELLED);

    // Started again, the queue serves the next control (a message read would wait).
    WdfIoQueueStart(queue);
    EXPECT_EQ(handle.control(IOCTL_VRAX_BIND_SERVICE), STATUS_SUCCESS);
}

// A request the default queue has presented once and holds again is the driver's to
// complete when it is cancelled there: the framework calls the queue's cancel callback.
TEST_F(ControlDevice, PresentedRequestCancelledInTheQueueIsCompletedByTheDriver) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    harness::set_interface_enabled(true);
    open_handle handle;
    ASSERT_EQ(handle.status(), STATUS_SUCCESS);
    trace_session session(vrax_control_guid(), TRACE_LEVEL_ERROR, 0x1);

    WDFQUEUE queue = GetVraxDeviceContext(::ControlDevice)->ClientQueue;
    forward_target = queue;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.PowerManaged = WdfFalse;
    config.EvtIoDeviceControl = ForwardToStoppedDefaultQueue;
    WDFQUEUE front = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(::ControlDevice, &config, WDF_NO_OBJECT_ATTRIBUTES, &front),
              STATUS_SUCCESS);
    ASSERT_EQ(
        WdfDeviceConfigureRequestDispatching(::ControlDevice, front, WdfRequestTypeDeviceControl),
        STATUS_SUCCESS);

    auto request = handle.start_control(IOCTL_VRAX_READ_MESSAGE);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(io::request_done(request)) << "held by the stopped default queue";
    EXPECT_EQ(io::cancel_requests(handle.file(), nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(io::wait_request(request), STATUS_CANCELLED);
    EXPECT_TRUE(session.contains("cancelled in the queue"));
    WdfIoQueueStart(queue);
}

TEST_F(ControlDevice, SleepPurgesAndResumeRestartsTheQueueLeavingThePortsUp) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    harness::set_interface_enabled(true);
    open_handle handle;
    ASSERT_EQ(handle.status(), STATUS_SUCCESS);

    ASSERT_EQ(pnp::sleep_device(h.node()), STATUS_SUCCESS);
    EXPECT_EQ(handle.control(IOCTL_VRAX_READ_MESSAGE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(vrax_test::event_signalled(&PortStopEvent));

    ASSERT_EQ(pnp::resume_device(h.node()), STATUS_SUCCESS);
    EXPECT_EQ(handle.control(IOCTL_VRAX_BIND_SERVICE), STATUS_SUCCESS);

    // A second round: the queue state the entry callback meets is the same each time.
    ASSERT_EQ(pnp::sleep_device(h.node()), STATUS_SUCCESS);
    ASSERT_EQ(pnp::resume_device(h.node()), STATUS_SUCCESS);
    EXPECT_EQ(handle.control(IOCTL_VRAX_BIND_SERVICE), STATUS_SUCCESS);
    EXPECT_FALSE(vrax_test::event_signalled(&PortStopEvent));
}

TEST_F(ControlDevice, RemovalShutsThePortsDown) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    EXPECT_FALSE(vrax_test::event_signalled(&PortStopEvent));
    h.remove();
    EXPECT_TRUE(vrax_test::event_signalled(&PortStopEvent));
    EXPECT_FALSE(named(u"\\Device\\VRAX"));
}

TEST_F(ControlDevice, KernelClientInterfaceIsAnswered) {
    ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
    VRAX_KERNEL_INTERFACE iface;
    std::memset(&iface, 0xCC, sizeof iface);
    ASSERT_EQ(
        pnp::query_interface(h.node(), GUID_VRAX_KERNEL_INTERFACE, sizeof iface,
                             VRAX_KERNEL_INTERFACE_VERSION, reinterpret_cast<INTERFACE*>(&iface)),
        STATUS_SUCCESS);
    EXPECT_EQ(iface.InterfaceHeader.Size, sizeof(VRAX_KERNEL_INTERFACE));
    EXPECT_EQ(iface.InterfaceHeader.Version, 0u);
    EXPECT_EQ(iface.InterfaceHeader.Context, nullptr);
    // The driver sets no reference routines; the framework hands out its no-op ones.
    ASSERT_NE(iface.InterfaceHeader.InterfaceReference, nullptr);
    ASSERT_NE(iface.InterfaceHeader.InterfaceDereference, nullptr);
    iface.InterfaceHeader.InterfaceReference(iface.InterfaceHeader.Context);
    iface.InterfaceHeader.InterfaceDereference(iface.InterfaceHeader.Context);
    ASSERT_EQ(iface.KernelClientRegister, &KernelClientRegister);
    ASSERT_EQ(iface.KernelClientDeregister, &KernelClientDeregister);
    ASSERT_EQ(iface.KernelClientSendControl, &KernelClientSendControl);
    ASSERT_EQ(iface.KernelClientSendMessage, &KernelClientSendMessage);

    // The routines are served (tests/driver/delivery); without ports a message cannot go out.
    VRAX_KERNEL_CLIENT_HANDLE client = reinterpret_cast<VRAX_KERNEL_CLIENT_HANDLE>(1);
    EXPECT_EQ(iface.KernelClientRegister(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(iface.KernelClientRegister(nullptr, nullptr, nullptr, &client, nullptr), 0);
    EXPECT_NE(client, nullptr);
    UCHAR message[8] = {};
    EXPECT_EQ(iface.KernelClientSendControl(nullptr, 0, message, sizeof message), -1);
    EXPECT_EQ(iface.KernelClientSendMessage(nullptr, 0, 1, 2, message, sizeof message), -1);
    EXPECT_EQ(iface.KernelClientDeregister(nullptr), -1);
    EXPECT_EQ(iface.KernelClientDeregister(client), 0);

    GUID other = GUID_VRAX_KERNEL_INTERFACE;
    other.Data1 ^= 1;
    EXPECT_EQ(pnp::query_interface(h.node(), other, sizeof iface, 0,
                                   reinterpret_cast<INTERFACE*>(&iface)),
              STATUS_NOT_SUPPORTED);
}

TEST_F(ControlDevice, SupportNewHwIdCountsOnlyTrueSpelledAsWritten) {
    struct setting {
        std::optional<pnp::registry_value> value;
        BOOLEAN expected;
    };
    const setting settings[] = {
        {pnp::reg_sz(u"True"), TRUE},   {pnp::reg_sz(u"true"), TRUE},
        {pnp::reg_sz(u"Truest"), TRUE}, {pnp::reg_sz(u"TRUE"), FALSE},
        {pnp::reg_sz(u"False"), FALSE}, {pnp::reg_sz(u"tru"), FALSE},
        {pnp::reg_sz(u""), FALSE},      {pnp::reg_dword(1), FALSE},
        {std::nullopt, FALSE},          {pnp::reg_sz(std::u16string(300, u't')), FALSE},
    };
    for (const auto& s : settings) {
        SCOPED_TRACE(testing::Message() << "setting #" << (&s - settings));
        NewHwIdSupported = s.expected ? FALSE : TRUE;  // the opposite, to see it written
        pnp::registry_values values;
        if (s.value)
            values.emplace(u"SupportNewHWID", *s.value);
        ASSERT_EQ(h.add_and_start(std::move(values)), STATUS_SUCCESS);
        EXPECT_EQ(NewHwIdSupported, s.expected);
        h.remove();
    }
}

}  // namespace
