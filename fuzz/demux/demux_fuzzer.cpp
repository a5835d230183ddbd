// Arbitrary frames through the receive hand-off into the demultiplexer, against a routing
// table with several sessions, ports and service types, interleaved with registrations,
// releases, purges and sends that the input chooses.
//
// Input: a sequence of commands. Command byte c:
//   c % 5 == 0  frame: port selector, 16-bit length n, then n frame bytes (fewer at the end)
//   c % 5 == 1  register: key, port, service type, client id selectors (one byte each)
//   c % 5 == 2  release: the same four bytes
//   c % 5 == 3  purge: key selector
//   c % 5 == 4  send: port selector, service type, client id, 16-bit message length
#include <cstdint>
#include <cstring>

#include <ntddk.h>
#include <wdf.h>

#include "core/lock_tracker.h"
#include "kernel/pool.h"
#include "demux/demux_callees.h"
#include "port/receive_dispatch.h"
#include "protocol/routing.h"
#include "support/fuzz_support.h"
#include "vrax_pool.h"

namespace {

// Ports 0 and 1 are open; 3 never is; 29 is out of range.
constexpr ULONG ports[] = {0, 1, 3, 29};
constexpr ULONG keys[] = {1, 2, 3, 0x7FFFFFFF, 0xFFFFFFFF};

struct reader {
    const std::uint8_t* p;
    std::size_t left;
    bool take(std::uint8_t* out) {
        if (left == 0)
            return false;
        *out = *p++;
        --left;
        return true;
    }
};

// The routing table of the last input is emptied by its end (finish_routing).
void start_routing() {
    InitRouting();  // refuses to register the handler again after the first time
    OpenPortRouting(0);
    OpenPortRouting(1);
    // Two sessions share client id 7 on port 0, service 5 (the newer must win); session 2
    // has a full record on service 2, where the reply catcher is armed for it.
    RegisterClientId(1, 0, 5, 7);
    RegisterClientId(3, 0, 5, 7);
    RegisterClientId(1, 1, 254, 1);
    for (UCHAR id = 0; id < 8; ++id)
        RegisterClientId(2, 0, 2, id);
    RegisterClientId(3, 1, 1, 0);
}

void push_frame(reader& in) {
    std::uint8_t port, lo, hi;
    if (!in.take(&port) || !in.take(&lo) || !in.take(&hi))
        return;
    std::size_t n = static_cast<std::size_t>(lo | hi << 8);
    if (n > in.left)
        n = in.left;

    // The port service thread's read: a memory object of exactly the bytes read (one spare
    // byte for an empty read, which a memory object cannot describe).
    fuzz::exact_copy bytes(in.p, n);
    in.p += n;
    in.left -= n;
    std::uint8_t spare = 0;
    WDFMEMORY memory = nullptr;
    fuzz::expect(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, n ? bytes.data() : &spare,
                                             n ? n : 1, &memory) == STATUS_SUCCESS,
                 "memory object");
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.Type = WdfRequestTypeRead;
    params.Parameters.Read.Buffer = memory;
    params.Parameters.Read.Length = n;
    SMD_PORT_RECORD record{};
    record.PortIndex = ports[port % 4];
    fuzz::demux::frame() = {bytes.data(), n};
    ReceiveDispatch(nullptr, nullptr, &params, &record);
    fuzz::expect(platform::lock_tracker::held_count() == 0, "routing lock released");
    if (memory != nullptr)
        WdfObjectDelete(memory);
}

void send(reader& in) {
    std::uint8_t port, service, client, lo, hi;
    if (!in.take(&port) || !in.take(&service) || !in.take(&client) || !in.take(&lo) ||
        !in.take(&hi)) {
        return;
    }
    std::size_t n = static_cast<std::size_t>(lo | hi << 8) % 2048;
    fuzz::exact_copy message(nullptr, 0, 6 + n);
    int r = SendServiceMessage(ports[port % 4], service, client, message.begin_of_storage() + 6,
                               static_cast<ULONG>(n));
    fuzz::expect(r == 0 || r == -1 || r == -5, "send result");
    fuzz::expect(platform::lock_tracker::held_count() == 0, "send lock released");
}

// Empties the routing table, which must then hold no record: every client record, frame and
// send buffer the driver allocated for the input is freed. The pool counts what the driver
// holds by tag, which a heap leak check cannot see (the pool keeps track of every block).
void finish_routing() {
    ResetRouting();
    fuzz::expect(platform::lock_tracker::held_count() == 0, "routing locks released");
    for (ULONG tag : {VRAX_TAG_CLIENT_RECORD, VRAX_TAG_FRAME, VRAX_TAG_SEND})
        fuzz::expect(platform::kernel::pool::outstanding(tag).count == 0,
                     "a routing allocation outlived the routing table");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::adopt_thread();
    start_routing();
    reader in{data, size};
    std::uint8_t command;
    while (in.take(&command)) {
        std::uint8_t k, p, s, c;
        switch (command % 5) {
            case 0:
                push_frame(in);
                break;
            case 1:
            case 2:
                if (!in.take(&k) || !in.take(&p) || !in.take(&s) || !in.take(&c)) {
                    finish_routing();
                    return 0;
                }
                if (command % 5 == 1) {
                    RegisterClientId(keys[k % 5], ports[p % 4], s, c);
                } else {
                    ReleaseClientId(keys[k % 5], ports[p % 4], s, c);
                }
                break;
            case 3:
                if (!in.take(&k)) {
                    finish_routing();
                    return 0;
                }
                PurgeSessionClients(keys[k % 5]);
                break;
            default:
                send(in);
                break;
        }
    }
    finish_routing();
    return 0;
}
