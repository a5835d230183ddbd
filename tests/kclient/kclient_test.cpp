// The kernel client driver beside VRAX on one machine: it gets VRAX's driver-to-driver
// interface with a query-interface request sent to VRAX's stack, without opening VRAX's
// device, and goes away cleanly. The routines' own results belong to VRAX's tests.
#include <gtest/gtest.h>

#include "ioctl/kernel_client.h"
#include "kclient/kclient.h"
#include "machine/machine.h"
#include "wdf/fx_device.h"
#include "wdf/io_dispatch.h"

namespace {

// {0B1C6A52-7E1D-4F0A-9C53-2D8E6F1A4B70}: a GUID no driver in the machine answers.
const GUID unknown_interface = {
    0x0B1C6A52, 0x7E1D, 0x4F0A, {0x9C, 0x53, 0x2D, 0x8E, 0x6F, 0x1A, 0x4B, 0x70}};

class KernelClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m.boot(), STATUS_SUCCESS);
        kc = &m.host().install(kclient::package());
        ASSERT_EQ(kc->boot(), STATUS_SUCCESS);
        ASSERT_NE(kclient::device(), nullptr);
    }
    void TearDown() override {
        // The client goes first: VRAX's interface is not reference-counted.
        if (kc->loaded())
            kc->take_down();
        EXPECT_TRUE(m.shutdown().empty());
    }
    // Files VRAX's framework device has open (a create reaching it would add one).
    long vrax_open_handles() {
        auto* d = platform::wdf::fx_device::from_wdm(m.control_device_object());
        return platform::wdf::io_package_of(d)->open_handles;
    }

    sim::machine m;
    sim::installed_driver* kc = nullptr;
};

TEST_F(KernelClient, TheInterfaceArrivesWithItsSizeVersionAndRoutinesAndNoFileIsOpened) {
    ASSERT_EQ(kclient::connect(m.control_device_object()), STATUS_SUCCESS);
    auto i = kclient::interface();
    ASSERT_TRUE(i.has_value());
    EXPECT_EQ(i->InterfaceHeader.Size, sizeof(VRAX_KERNEL_INTERFACE));
    EXPECT_EQ(i->InterfaceHeader.Version, VRAX_KERNEL_INTERFACE_VERSION);
    EXPECT_EQ(i->InterfaceHeader.Context, nullptr);
    EXPECT_EQ(i->KernelClientRegister, &KernelClientRegister);
    EXPECT_EQ(i->KernelClientDeregister, &KernelClientDeregister);
    EXPECT_EQ(i->KernelClientSendControl, &KernelClientSendControl);
    EXPECT_EQ(i->KernelClientSendMessage, &KernelClientSendMessage);
    // The framework gives the requester reference routines it can always call.
    ASSERT_NE(i->InterfaceHeader.InterfaceReference, nullptr);
    ASSERT_NE(i->InterfaceHeader.InterfaceDereference, nullptr);
    EXPECT_EQ(vrax_open_handles(), 0);

    // The routines are reachable from the client's thread at PASSIVE_LEVEL.
    for (LONG r : {kclient::register_client(), kclient::send_message(0, 1, 1, {1, 2, 3}),
                   kclient::send_control(0, {0, 1, 0x22, 0, 0, 0})}) {
        EXPECT_TRUE(r == 0 || r == -1) << r;
    }
    kclient::disconnect();
    EXPECT_FALSE(kclient::interface().has_value());
    // Connecting again after a disconnect works.
    EXPECT_EQ(kclient::connect(m.control_device_object()), STATUS_SUCCESS);
}

TEST_F(KernelClient, QueriesForAnotherInterfaceOrWithTooSmallABufferFailAndKeepNothing) {
    EXPECT_EQ(kclient::connect(m.control_device_object(), unknown_interface), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(kclient::interface().has_value());
    // VRAX's interface does not fit a buffer smaller than the structure.
    EXPECT_EQ(kclient::connect(m.control_device_object(), GUID_VRAX_KERNEL_INTERFACE,
                               sizeof(VRAX_KERNEL_INTERFACE) - sizeof(PVOID)),
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(
        kclient::connect(m.control_device_object(), GUID_VRAX_KERNEL_INTERFACE, sizeof(INTERFACE)),
        STATUS_INVALID_BUFFER_SIZE);
    EXPECT_FALSE(kclient::interface().has_value());
    // A larger buffer and a newer version are fine: the device hands out what it has.
    EXPECT_EQ(kclient::connect(m.control_device_object(), GUID_VRAX_KERNEL_INTERFACE,
                               sizeof(VRAX_KERNEL_INTERFACE), VRAX_KERNEL_INTERFACE_VERSION + 1),
              STATUS_SUCCESS);
    EXPECT_EQ(kclient::connect(m.control_device_object()), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(KernelClient, TheClientUnloadsCleanlyWhileHoldingTheInterface) {
    ASSERT_EQ(kclient::connect(m.control_device_object()), STATUS_SUCCESS);
    kclient::register_client();
    // Removal gives the interface back (self-managed I/O clean-up) and deletes the target
    // with the device; the machine's final check finds nothing left.
    kc->take_down();
    EXPECT_FALSE(kc->loaded());
    EXPECT_EQ(kclient::device(), nullptr);
    EXPECT_EQ(kclient::connect(m.control_device_object()), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
