// The routing table, the demultiplexer and the send primitive, with their callees in other
// areas replaced by recorders: which frames reach delivery, the monitor hook, the reply
// catcher or the control-service handler, which client ids a session owns, and that the
// routing and send locks are held exactly around the calls out and released on every path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "callee_doubles.h"
#include "core/faults.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "kernel/pool.h"
#include "port/receive_dispatch.h"
#include "protocol/lazy_wait_lock.h"
#include "protocol/routing.h"
#include "protocol/routing_table.h"
#include "vrax_pool.h"
#include "wdf/fx_object.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using doubles::callee;
using doubles::calls_of;

constexpr ULONG key_a = 0x11;
constexpr ULONG key_b = 0x22;

// A frame with a correct header around `message`.
bytes frame(UCHAR service, UCHAR client, const bytes& message, UCHAR flags = 0) {
    bytes f{0x01, 0, 0, flags, service, client};
    f.insert(f.end(), message.begin(), message.end());
    std::size_t field = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(field & 0xFF);
    f[2] = static_cast<std::uint8_t>(field >> 8);
    return f;
}

// A 7-byte service header with the given message id and no TLVs, then `tail`.
bytes service_message(UCHAR message_id, const bytes& tail = {}) {
    bytes m{0x02, 0x01, 0x00, message_id, 0x00, static_cast<std::uint8_t>(tail.size()), 0x00};
    m.insert(m.end(), tail.begin(), tail.end());
    return m;
}

void demux(ULONG port, bytes& f) {
    DemuxFrame(port, f.data(), static_cast<ULONG>(f.size()));
}

std::size_t reached_anyone() {
    return calls_of(callee::deliver).size() + calls_of(callee::monitor).size() +
           calls_of(callee::control).size() + calls_of(callee::catch_reply).size();
}

class Routing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(InitRouting(), 0);
        ASSERT_EQ(OpenPortRouting(0), 0);
        ASSERT_EQ(OpenPortRouting(3), 0);
        doubles::clear_calls();
    }
    void TearDown() override {
        ResetRouting();
        EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 0u);
        EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_OWNER_TABLE).count, 0u);
        EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
        platform::faults::clear();
    }
};

TEST_F(Routing, MalformedFramesNeverReachAnyone) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    const bytes good = frame(5, 7, service_message(0x01));

    bytes too_long_field = good;
    too_long_field[1]++;
    bytes too_short_field = good;
    too_short_field[1]--;
    bytes wrong_interface = good;
    wrong_interface[0] = 0x02;
    bytes service_255 = frame(255, 7, service_message(0x01));
    bytes broadcast_255 = frame(255, 0xFF, service_message(0x01));
    for (bytes* f :
         {&too_long_field, &too_short_field, &wrong_interface, &service_255, &broadcast_255}) {
        demux(0, *f);
        EXPECT_EQ(reached_anyone(), 0u) << framedecode::decode_frame(*f);
    }
    // Shorter than a frame header: exact-size buffers, so a read past them is caught under
    // the address sanitizer.
    for (std::size_t n = 0; n < 6; ++n) {
        bytes f(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        DemuxFrame(0, n == 0 ? nullptr : f.data(), static_cast<ULONG>(n));
    }
    // Port out of range, and a port that was never opened.
    bytes copy = good;
    demux(29, copy);
    demux(1, copy);
    EXPECT_EQ(reached_anyone(), 0u);
    // The unicast router refuses the same on its own: a port past the table, service 255.
    RouteUnicast(29, 5, 7, 0, copy.data() + 6, static_cast<ULONG>(copy.size() - 6));
    RouteUnicast(29, 0, 7, 0, copy.data() + 6, static_cast<ULONG>(copy.size() - 6));
    RouteUnicast(0, 255, 7, 0, copy.data() + 6, static_cast<ULONG>(copy.size() - 6));
    EXPECT_EQ(reached_anyone(), 0u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);

    demux(0, copy);
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "the unaltered frame is delivered";
}

TEST_F(Routing, BroadcastOnControlServiceGoesToDeliveryNotTheControlHandler) {
    bytes f = frame(0, 0xFF, {0x02, 0x00, 0x21, 0x00, 0x00, 0x00});
    demux(3, f);
    ASSERT_EQ(calls_of(callee::deliver).size(), 1u);
    EXPECT_TRUE(calls_of(callee::control).empty());
    EXPECT_TRUE(calls_of(callee::monitor).empty());
    const doubles::call d = calls_of(callee::deliver)[0];
    EXPECT_EQ(d.key, 0xFFFFFFFFu);
    EXPECT_EQ(d.port, 3u);
    EXPECT_EQ(d.service, 0);
    EXPECT_EQ(d.data, f.data() + 6) << "the payload is routed in place";
    EXPECT_EQ(d.length, f.size() - 6);
    EXPECT_EQ(d.locks_held, 1u) << "delivery runs under the routing lock";
}

TEST_F(Routing, ControlServiceUnicastGoesToTheControlHandler) {
    bytes f = frame(0, 0, {0x01, 0x05, 0x22, 0x00, 0x00, 0x00});
    demux(0, f);
    ASSERT_EQ(calls_of(callee::control).size(), 1u);
    const doubles::call c = calls_of(callee::control)[0];
    EXPECT_EQ(c.port, 0u);
    EXPECT_EQ(c.data, f.data() + 6);
    EXPECT_EQ(c.length, 6u);
    EXPECT_EQ(c.locks_held, 1u);
    EXPECT_TRUE(calls_of(callee::deliver).empty());

    // Even an empty payload goes there: the handler refuses what it cannot read.
    bytes header_only = frame(0, 0, {});
    demux(0, header_only);
    EXPECT_EQ(calls_of(callee::control).size(), 2u);
    EXPECT_EQ(calls_of(callee::control)[1].length, 0u);

    // No record is ever made for the control service, so none can capture its frames.
    EXPECT_EQ(RegisterClientId(key_a, 0, 0, 0), -1);
}

TEST_F(Routing, UnicastWithoutOwnerOnOtherServicesVanishes) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    bytes nobody = frame(5, 8, service_message(0x01));
    bytes other_port = frame(5, 7, service_message(0x01));
    bytes other_service = frame(6, 7, service_message(0x01));
    demux(0, nobody);
    demux(3, other_port);
    demux(0, other_service);
    EXPECT_EQ(reached_anyone(), 0u);
}

TEST_F(Routing, OwnerIsOfferedToMonitorsThenDelivered) {
    ASSERT_EQ(RegisterClientId(key_a, 3, 9, 4), 0);
    bytes f = frame(9, 4, service_message(0x30, {0x01, 0x01, 0x00, 0xAB}), 0x5C);
    demux(3, f);
    const auto& all = doubles::recorded().calls;
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].what, callee::monitor);
    EXPECT_EQ(all[1].what, callee::deliver);
    EXPECT_EQ(all[0].key, key_a);
    EXPECT_EQ(all[0].port, 3u);
    EXPECT_EQ(all[0].service, 9);
    EXPECT_EQ(all[0].client, 4);
    EXPECT_EQ(all[0].flags, 0x5C);
    EXPECT_EQ(all[0].marker, 0u);
    EXPECT_EQ(all[0].data, f.data() + 6);
    EXPECT_EQ(all[0].length, f.size() - 6);
    EXPECT_EQ(all[1].key, key_a);
    EXPECT_EQ(all[1].bytes, bytes(f.begin() + 6, f.end()));
}

TEST_F(Routing, NewestRecordWinsAndOlderTakesOverAfterRelease) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_b, 0, 5, 9), 0);
    ASSERT_EQ(RegisterClientId(key_b, 0, 5, 7), 0);  // key_b's record is newer
    bytes f = frame(5, 7, service_message(0x01));
    demux(0, f);
    ASSERT_EQ(calls_of(callee::deliver).size(), 1u);
    EXPECT_EQ(calls_of(callee::deliver)[0].key, key_b);

    ASSERT_EQ(ReleaseClientId(key_b, 0, 5, 7), 0);
    doubles::clear_calls();
    demux(0, f);
    ASSERT_EQ(calls_of(callee::deliver).size(), 1u);
    EXPECT_EQ(calls_of(callee::deliver)[0].key, key_a);
}

TEST_F(Routing, NinthClientIdIsRefusedAndTheEightStay) {
    for (UCHAR id = 10; id < 18; ++id) {
        ASSERT_EQ(RegisterClientId(key_a, 0, 5, id), 0) << int(id);
    }
    const std::size_t records = platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count;
    EXPECT_EQ(records, 1u) << "one record per session, port and service type";
    EXPECT_EQ(RegisterClientId(key_a, 0, 5, 18), -1);
    EXPECT_EQ(RegisterClientId(key_a, 0, 5, 10), -1) << "a held id is not squeezed in either";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, records);

    for (UCHAR id = 10; id < 19; ++id) {
        bytes f = frame(5, id, service_message(0x01));
        demux(0, f);
    }
    const auto delivered = calls_of(callee::deliver);
    ASSERT_EQ(delivered.size(), 8u) << "ids 10..17 are owned, 18 is not";
    for (const auto& d : delivered) {
        EXPECT_EQ(d.key, key_a);
    }
    // Another session, or another service type, has its own eight.
    EXPECT_EQ(RegisterClientId(key_b, 0, 5, 18), 0);
    EXPECT_EQ(RegisterClientId(key_a, 0, 6, 18), 0);
}

TEST_F(Routing, ReleaseFreesEverySlotHoldingTheIdAndTheEmptyRecord) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 8), 0);
    EXPECT_EQ(ReleaseClientId(key_a, 0, 5, 7), 0);
    bytes f7 = frame(5, 7, service_message(0x01));
    demux(0, f7);
    EXPECT_EQ(reached_anyone(), 0u) << "both slots holding 7 were freed";
    EXPECT_EQ(ReleaseClientId(key_a, 0, 5, 7), -1) << "nothing holds 7 any more";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 1u);

    EXPECT_EQ(ReleaseClientId(key_a, 0, 5, 8), 0);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 0u)
        << "the record without ids is freed";
    EXPECT_EQ(ReleaseClientId(key_a, 0, 5, 8), -1) << "no record any more";

    // A freed slot is reused first, so the session can hold eight again.
    for (UCHAR id = 20; id < 28; ++id) {
        ASSERT_EQ(RegisterClientId(key_a, 0, 5, id), 0);
    }
    ASSERT_EQ(ReleaseClientId(key_a, 0, 5, 23), 0);
    EXPECT_EQ(RegisterClientId(key_a, 0, 5, 30), 0);
    EXPECT_EQ(RegisterClientId(key_a, 0, 5, 31), -1);
}

TEST_F(Routing, RegisterAndReleaseRefuseWhatCannotBeOwned) {
    EXPECT_EQ(RegisterClientId(key_a, 29, 5, 7), -1);
    EXPECT_EQ(RegisterClientId(key_a, 0, 0, 7), -1);
    EXPECT_EQ(RegisterClientId(key_a, 0, 255, 7), -1);
    EXPECT_EQ(RegisterClientId(0xFFFFFFFF, 0, 5, 7), -1) << "would turn unicasts into broadcasts";
    EXPECT_EQ(RegisterClientId(key_a, 0, 5, 0xFF), -1) << "the broadcast id is not an id";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 0u);

    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    EXPECT_EQ(ReleaseClientId(key_a, 29, 5, 7), -1);
    EXPECT_EQ(ReleaseClientId(key_a, 0, 0, 7), -1);
    EXPECT_EQ(ReleaseClientId(key_a, 0, 255, 7), -1);
    EXPECT_EQ(ReleaseClientId(key_b, 0, 5, 7), -1);
    EXPECT_EQ(ReleaseClientId(key_a, 0, 5, 0xFF), -1) << "free slots do not count as held";
    bytes f = frame(5, 7, service_message(0x01));
    demux(0, f);
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "the refusals changed nothing";
}

TEST_F(Routing, FailedAllocationLeavesTheListAsItWas) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    platform::faults::fail_nth("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RegisterClientId(key_b, 0, 5, 7), -1);
    bytes f = frame(5, 7, service_message(0x01));
    demux(0, f);
    ASSERT_EQ(calls_of(callee::deliver).size(), 1u);
    EXPECT_EQ(calls_of(callee::deliver)[0].key, key_a);
}

// The owner of each id, as a unicast finds it, checked after every change against a model of
// the record lists (newest record first, slots 0..7): registrations that push a record or
// fill a slot of an older one, duplicate ids across sessions and within one, releases,
// purges and a port's forgetting, in a fixed pseudo-random order.
TEST_F(Routing, UnicastsFindTheNewestHolderOfAnIdThroughEveryChange) {
    struct record {
        ULONG key;
        std::uint8_t ids[VRAX_CLIENT_SLOTS];
    };
    std::vector<record> model;  // newest first
    auto find = [&](ULONG key) {
        for (std::size_t i = 0; i < model.size(); ++i)
            if (model[i].key == key)
                return static_cast<std::ptrdiff_t>(i);
        return std::ptrdiff_t{-1};
    };
    auto register_id = [&](ULONG key, UCHAR id) {
        std::ptrdiff_t r = find(key);
        if (r < 0) {
            record n{key, {}};
            std::memset(n.ids, 0xFF, sizeof(n.ids));
            n.ids[0] = id;
            model.insert(model.begin(), n);
            return 0;
        }
        for (auto& slot : model[r].ids)
            if (slot == 0xFF) {
                slot = id;
                return 0;
            }
        return -1;
    };
    auto release_id = [&](ULONG key, UCHAR id) {
        std::ptrdiff_t r = find(key);
        if (r < 0)
            return -1;
        bool matched = false, empty = true;
        for (auto& slot : model[r].ids) {
            if (slot == id) {
                slot = 0xFF;
                matched = true;
            }
            empty = empty && slot == 0xFF;
        }
        if (empty)
            model.erase(model.begin() + r);
        return matched ? 0 : -1;
    };
    auto owner = [&](UCHAR id) -> std::int64_t {
        for (const auto& r : model)
            for (auto slot : r.ids)
                if (slot == id)
                    return r.key;
        return -1;
    };
    auto check = [&](int step) {
        for (UCHAR id = 1; id <= 6; ++id) {
            doubles::clear_calls();
            bytes f = frame(5, id, service_message(0x01));
            demux(0, f);
            const auto delivered = calls_of(callee::deliver);
            const std::int64_t expected = owner(id);
            if (expected < 0) {
                EXPECT_TRUE(delivered.empty()) << "step " << step << " id " << int(id);
            } else {
                ASSERT_EQ(delivered.size(), 1u) << "step " << step << " id " << int(id);
                EXPECT_EQ(delivered[0].key, static_cast<ULONG>(expected))
                    << "step " << step << " id " << int(id);
            }
        }
    };

    WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
    std::uint32_t seed = 12345;
    auto next = [&](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int step = 0; step < 600; ++step) {
        const ULONG key = 1 + next(5);
        const UCHAR id = static_cast<UCHAR>(1 + next(6));
        const std::uint32_t op = next(20);
        if (op < 10) {
            WdfWaitLockAcquire(lock, nullptr);
            EXPECT_EQ(RegisterClientId(key, 0, 5, id), register_id(key, id)) << step;
            WdfWaitLockRelease(lock);
        } else if (op < 18) {
            WdfWaitLockAcquire(lock, nullptr);
            EXPECT_EQ(ReleaseClientId(key, 0, 5, id), release_id(key, id)) << step;
            WdfWaitLockRelease(lock);
        } else if (op < 19) {
            PurgeSessionClients(key);
            std::ptrdiff_t r = find(key);
            if (r >= 0)
                model.erase(model.begin() + r);
        } else if (step % 7 == 0) {
            ForgetPortClients(0);
            model.clear();
        }
        check(step);
        if (HasFatalFailure())
            return;
    }
    // Another port's and another service's lists are their own.
    WdfWaitLockAcquire(lock, nullptr);
    ASSERT_EQ(RegisterClientId(key_a, 0, 6, 1), 0);
    WdfWaitLockRelease(lock);
    check(-1);
}

// Without memory for the owner table the look-up walks the list, and finds what the table
// would; the table made later, once memory is there, starts out holding every id so far.
TEST_F(Routing, WithoutAnOwnerTableUnicastsStillReachTheNewestHolder) {
    platform::faults::fail_nth("ExAllocatePoolWithTag", 2, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0) << "the record is allocated, the table not";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_OWNER_TABLE).count, 0u);
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 8), 0);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_OWNER_TABLE).count, 1u);
    ASSERT_EQ(RegisterClientId(key_b, 0, 5, 8), 0);
    for (UCHAR id : {7, 8}) {
        doubles::clear_calls();
        bytes f = frame(5, id, service_message(0x01));
        demux(0, f);
        ASSERT_EQ(calls_of(callee::deliver).size(), 1u) << int(id);
        EXPECT_EQ(calls_of(callee::deliver)[0].key, id == 7 ? key_a : key_b) << int(id);
    }
    // Reset frees the tables with the records.
    ResetRouting();
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_OWNER_TABLE).count, 0u);
    doubles::clear_calls();
    bytes f = frame(5, 8, service_message(0x01));
    demux(0, f);
    EXPECT_TRUE(calls_of(callee::deliver).empty());
}

TEST_F(Routing, ReplyCatcherOnlyForAServiceTwoReplyLongEnoughToSkipInto) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 2, 4), 0);
    doubles::recorded().awaiting_keys = {key_a};

    // Header, first TLV header, then exactly the 4 bytes the catcher skips.
    bytes reply = frame(2, 4, service_message(0x25, {0x12, 0x04, 0x00, 1, 2, 3, 4}));
    demux(0, reply);
    ASSERT_EQ(calls_of(callee::catch_reply).size(), 1u);
    EXPECT_TRUE(calls_of(callee::deliver).empty());
    const doubles::call c = calls_of(callee::catch_reply)[0];
    EXPECT_EQ(c.key, key_a);
    EXPECT_EQ(c.data, reply.data() + 6 + 10) << "from the first TLV's value on";
    EXPECT_EQ(c.length, 4u);
    EXPECT_EQ(calls_of(callee::monitor).size(), 1u) << "monitors see it first";

    doubles::clear_calls();
    bytes short_reply = frame(2, 4, service_message(0x25, {0x12, 0x03, 0x00, 1, 2, 3}));
    demux(0, short_reply);
    EXPECT_TRUE(calls_of(callee::catch_reply).empty());
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "too short for the catcher: delivered";

    doubles::clear_calls();
    bytes other_id = frame(2, 4, service_message(0x26, {0x12, 0x04, 0x00, 1, 2, 3, 4}));
    demux(0, other_id);
    EXPECT_TRUE(calls_of(callee::catch_reply).empty());
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u);

    doubles::clear_calls();
    doubles::recorded().awaiting_keys.clear();
    demux(0, reply);
    EXPECT_TRUE(calls_of(callee::catch_reply).empty());
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "nobody waits: delivered";
}

TEST_F(Routing, PurgeRemovesOneSessionEverywhere) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_a, 3, 254, 1), 0);
    ASSERT_EQ(RegisterClientId(key_a, 28, 1, 2), 0);
    ASSERT_EQ(RegisterClientId(key_b, 0, 5, 8), 0);
    PurgeSessionClients(key_a);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 1u);
    bytes f7 = frame(5, 7, service_message(0x01));
    bytes f8 = frame(5, 8, service_message(0x01));
    demux(0, f7);
    demux(0, f8);
    ASSERT_EQ(calls_of(callee::deliver).size(), 1u);
    EXPECT_EQ(calls_of(callee::deliver)[0].key, key_b);
    PurgeSessionClients(key_a);  // nothing left: harmless
    EXPECT_EQ(ReleaseClientId(key_a, 28, 1, 2), -1);
}

TEST_F(Routing, ResetFreesEveryRecordAndKeepsThePortOpen) {
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_b, 3, 5, 7), 0);
    ResetRouting();
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 0u);
    EXPECT_EQ(calls_of(callee::reset_transactions).size(), 1u);
    bytes f = frame(5, 7, service_message(0x01));
    demux(0, f);
    EXPECT_EQ(reached_anyone(), 0u);
    bytes broadcast = frame(5, 0xFF, service_message(0x01));
    demux(0, broadcast);
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "the port is still open for routing";
}

TEST_F(Routing, InterfaceArrivingAgainReopensThePorts) {
    // The SMD interface arrives again with no shutdown in between: the tables are
    // re-initialised over what the last arrival left, and the port attaches and opens again.
    ASSERT_EQ(RegisterClientId(key_a, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(key_b, 0, 6, 7), 0);
    EXPECT_EQ(InitRouting(), 0) << "the demultiplexer registered already is no failure";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count, 0u)
        << "the old client records are freed, not forgotten";
    EXPECT_FALSE(IsPortAttached(0));
    EXPECT_EQ(OpenPortRouting(0), 0);
    EXPECT_TRUE(IsPortAttached(0));
    bytes broadcast = frame(5, 0xFF, service_message(0x01));
    demux(0, broadcast);
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u);
    bytes unicast = frame(5, 7, service_message(0x01));
    demux(0, unicast);
    EXPECT_EQ(calls_of(callee::deliver).size(), 1u) << "no record survived to own id 7";
}

TEST_F(Routing, SendFramesInPlaceUnderTheSendLock) {
    bytes buffer(6 + 7, 0xEE);
    for (std::size_t i = 6; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(SendServiceMessage(3, 9, 4, buffer.data() + 6, 7), 0);
    ASSERT_EQ(calls_of(callee::port_send).size(), 1u);
    const doubles::call s = calls_of(callee::port_send)[0];
    EXPECT_EQ(s.port, 3u);
    EXPECT_EQ(s.data, buffer.data());
    EXPECT_EQ(s.length, 13u);
    EXPECT_EQ(s.bytes, (bytes{0x01, 12, 0, 0x00, 9, 4, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(s.locks_held, 1u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);

    doubles::recorded().port_send_result = -1;
    EXPECT_EQ(SendServiceMessage(3, 9, 4, buffer.data() + 6, 7), -1);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

TEST_F(Routing, SendRefusals) {
    bytes buffer(6 + 3, 0xEE);
    EXPECT_EQ(SendServiceMessage(29, 1, 1, buffer.data() + 6, 3), -1);
    EXPECT_EQ(buffer, bytes(9, 0xEE)) << "a bad port is refused before the header is written";

    // The length field cannot describe a frame beyond 65,536 bytes.
    bytes big(6 + 65531, 0xEE);
    EXPECT_EQ(SendServiceMessage(0, 1, 1, big.data() + 6, 65531), -1);
    EXPECT_EQ(big[0], 0xEE) << "refused before the header is written";
    EXPECT_EQ(SendServiceMessage(0, 1, 1, big.data() + 6, 65530), 0);
    EXPECT_EQ(big[1], 0xFF);
    EXPECT_EQ(big[2], 0xFF);
    EXPECT_EQ(calls_of(callee::port_send).size(), 1u);

    // A port not open for routing: the header is written, the transmit path is not called.
    EXPECT_EQ(SendServiceMessage(1, 2, 3, buffer.data() + 6, 3), -5);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(buffer[4], 2);
    EXPECT_EQ(calls_of(callee::port_send).size(), 1u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

TEST_F(Routing, OpenPortRoutingOpensOnceAndLeavesTheNoticeToTheServiceThread) {
    doubles::clear_calls();
    EXPECT_EQ(OpenPortRouting(29), -1);
    EXPECT_EQ(OpenPortRouting(0), -1) << "already open";
    EXPECT_EQ(OpenPortRouting(28), 0);
    EXPECT_TRUE(IsPortAttached(28));
    // The notice goes out when the SMD side opens the channel, not when the routing opens.
    EXPECT_TRUE(calls_of(callee::port_open_notice).empty());
}

TEST_F(Routing, InitRoutingClosesAndDetachesEveryPort) {
    EXPECT_EQ(InitRouting(), 0);
    EXPECT_EQ(calls_of(callee::init_transactions).size(), 1u);
    bytes buffer(6 + 1);
    EXPECT_EQ(SendServiceMessage(0, 1, 1, buffer.data() + 6, 1), -5);
    bytes broadcast = frame(5, 0xFF, service_message(0x01));
    demux(0, broadcast);
    EXPECT_EQ(reached_anyone(), 0u);
    EXPECT_FALSE(IsPortAttached(3));
    // Detached with its routing closed, a port attaches again when its routing re-opens.
    EXPECT_EQ(OpenPortRouting(0), 0);
    EXPECT_TRUE(IsPortAttached(0));
}

// Before any start-up, without the routing tables: nothing is routed or sent.
TEST(RoutingBeforeStart, PortsAreClosedAndLocksAreCreatedOnFirstUse) {
    bytes broadcast = frame(5, 0xFF, service_message(0x01));
    DemuxFrame(0, broadcast.data(), static_cast<ULONG>(broadcast.size()));
    EXPECT_TRUE(doubles::recorded().calls.empty());

    bytes buffer(6 + 1);
    platform::faults::fail_nth("WdfWaitLockCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SendServiceMessage(0, 1, 1, buffer.data() + 6, 1), -1) << "no send lock";
    EXPECT_EQ(SendServiceMessage(0, 1, 1, buffer.data() + 6, 1), -5) << "created on this try";

    // Opening a port before a receive handler exists leaves it closed and unattached.
    EXPECT_EQ(OpenPortRouting(0), -1);
    EXPECT_FALSE(IsPortAttached(0));
    EXPECT_TRUE(calls_of(callee::port_open_notice).empty());
    EXPECT_EQ(SendServiceMessage(0, 1, 1, buffer.data() + 6, 1), -5);

    platform::faults::fail_always("WdfWaitLockCreate", STATUS_INSUFFICIENT_RESOURCES);
    PurgeSessionClients(key_a);
    EXPECT_EQ(InitRouting(), -1) << "a lock that cannot be created fails the start-up";
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
    platform::faults::clear();
    EXPECT_EQ(InitRouting(), 0) << "the handler was not registered by the failed start-up";
}

// Threads that find the same lock missing at once all end up with the one published; the
// locks that lost the race are deleted rather than left with the driver object until
// unload, and deleting the published lock empties its slot.
TEST(LazyWaitLock, ThreadsRacingToCreateALockShareOneAndLeaveNoOther) {
    constexpr int racers = 4;
    const std::size_t objects = platform::wdf::fx_object::live_count();
    for (int round = 0; round < 50; ++round) {
        WDFWAITLOCK volatile slot = nullptr;
        std::atomic<int> started{0};
        WDFWAITLOCK got[racers] = {};
        std::vector<std::shared_ptr<platform::scheduler::joinable>> threads;
        for (int t = 0; t < racers; ++t) {
            threads.push_back(platform::scheduler::get().start_thread("racer", [&, t] {
                // Started together, so that several find the slot empty.
                started.fetch_add(1);
                while (started.load() < racers) {
                }
                got[t] = VraxEnsureWaitLock(&slot);
            }));
        }
        for (auto& thread : threads) {
            thread->join();
        }
        WDFWAITLOCK published = VraxExistingWaitLock(&slot);
        ASSERT_NE(published, nullptr);
        for (WDFWAITLOCK lock : got) {
            ASSERT_EQ(lock, published) << "round " << round;
        }
        ASSERT_EQ(platform::wdf::fx_object::live_count(), objects + 1) << "round " << round;
        WdfObjectDelete(published);
        ASSERT_EQ(VraxExistingWaitLock(&slot), nullptr) << "round " << round;
    }
}

}  // namespace
