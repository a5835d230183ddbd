// Completing and cancelling IRPs.
#include <gtest/gtest.h>

#include "io/irp.h"
#include "test_device.h"

namespace io = platform::io;

TEST(Irp, CompletionRoutinesRunLastPushedFirstThenTheSender) {
    _IRP irp;
    std::vector<int> order;
    irp.on_complete = [&](PIRP i) {
        order.push_back(0);
        EXPECT_TRUE(i->completed);
        EXPECT_EQ(i->status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(i->information, 7u);
    };
    io::set_completion_routine(&irp, [&](PIRP) {
        order.push_back(1);
        return STATUS_SUCCESS;
    });
    io::set_completion_routine(&irp, [&](PIRP) {
        order.push_back(2);
        return STATUS_SUCCESS;
    });
    io::complete_irp(&irp, STATUS_BUFFER_TOO_SMALL, 7);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
}

TEST(Irp, MoreProcessingRequiredHandsTheIrpBackForALaterCompletion) {
    _IRP irp;
    int sender_calls = 0;
    irp.on_complete = [&](PIRP) { ++sender_calls; };
    io::set_completion_routine(&irp, [](PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; });
    io::complete_irp(&irp, STATUS_SUCCESS, 0);
    EXPECT_EQ(sender_calls, 0);
    EXPECT_FALSE(irp.completed);
    // The routine's owner completes it again: no double-completion check fires.
    io::complete_irp(&irp, STATUS_UNSUCCESSFUL, 3);
    EXPECT_EQ(sender_calls, 1);
    EXPECT_EQ(irp.status, STATUS_UNSUCCESSFUL);
}

TEST(Irp, CancelCallsTheRoutineOnceAndOnlyWhenSet) {
    _IRP irp;
    int calls = 0;
    io::set_cancel_routine(&irp, [&](PIRP i) {
        ++calls;
        EXPECT_TRUE(io::is_cancelled(i));
        io::complete_irp(i, STATUS_CANCELLED, 0);
    });
    EXPECT_TRUE(io::cancel_irp(&irp));
    EXPECT_FALSE(io::cancel_irp(&irp));  // already completed
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(irp.status, STATUS_CANCELLED);

    // Cancelled before any routine was set: the flag stays for the driver to find.
    _IRP early;
    EXPECT_FALSE(io::cancel_irp(&early));
    EXPECT_TRUE(io::is_cancelled(&early));
    io::set_cancel_routine(&early, [](PIRP) { FAIL() << "routine set after the cancel ran"; });
    // Taking the routine back succeeds: the driver owns the cancellation itself.
    EXPECT_TRUE(static_cast<bool>(io::set_cancel_routine(&early, {})));
    io::complete_irp(&early, STATUS_CANCELLED, 0);
}

TEST(Irp, RemovingTheCancelRoutineAfterACancelTookItReturnsNothing) {
    _IRP irp;
    PIRP seen = nullptr;
    io::set_cancel_routine(&irp, [&](PIRP i) { seen = i; });
    io::cancel_irp(&irp);
    EXPECT_EQ(seen, &irp);
    EXPECT_FALSE(static_cast<bool>(io::set_cancel_routine(&irp, {})));
    io::complete_irp(&irp, STATUS_CANCELLED, 0);
}

TEST(IrpDeathTest, CompletingTwiceIsABugCheck) {
    EXPECT_DEATH(
        {
            _IRP irp;
            io::complete_irp(&irp, STATUS_SUCCESS, 0);
            io::complete_irp(&irp, STATUS_SUCCESS, 0);
        },
        "0x00000044|completed twice");
}

TEST(IrpDeathTest, CompletingWithACancelRoutineStillSetIsABugCheck) {
    EXPECT_DEATH(
        {
            _IRP irp;
            io::set_cancel_routine(&irp, [](PIRP) {});
            io::complete_irp(&irp, STATUS_SUCCESS, 0);
        },
        "0x00000048");
}

TEST(IrpDeathTest, CompletingWithPendingIsABugCheck) {
    EXPECT_DEATH(
        {
            _IRP irp;
            io::complete_irp(&irp, STATUS_PENDING, 0);
        },
        "STATUS_PENDING");
}

// A dispatch routine may complete the IRP and still return STATUS_PENDING (it marked it
// pending first); its sender may free the IRP as soon as it is completed. Nothing may touch
// the IRP once the dispatch routine has returned (ASan reports it when something does).
TEST(IrpDispatch, NothingTouchesAnIrpAfterItsDispatchRoutineReturnsPending) {
    io_test::test_device dev(u"\\Device\\IrpPending", u"", u"");
    dev.on(IRP_MJ_READ, [](PIRP irp) {
        io::complete_irp(irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
    });
    auto* irp = new _IRP;
    irp->major = IRP_MJ_READ;
    bool completed = false;
    irp->on_complete = [&completed](PIRP done) {
        completed = true;
        delete done;  // the sender frees what came back
    };
    EXPECT_EQ(io::call_driver(dev.device, irp), STATUS_PENDING);
    EXPECT_TRUE(completed);
}
