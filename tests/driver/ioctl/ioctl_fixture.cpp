// The I/O control tests' machine and scripted modem.
#include "ioctl_fixture.h"

#include "core/faults.h"
#include "core/scheduler.h"
#include "io/io_manager.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "win32/process.h"

#include "vrax_device.h"
#include "vrax_wire.h"

namespace ioctl_test {

namespace far_end = smd::far_end;
using platform::scheduler;

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms) {
    for (std::int64_t t = 0; t < ms && !done(); t += 5) {
        settle_ms(5);
    }
    return done();
}

std::int64_t now_ms() {
    return scheduler::get().now() / platform::ticks_per_ms;
}

bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

bytes wide_name(const std::u16string& name) {
    bytes out;
    for (char16_t c : name) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

pending_control::~pending_control() {
    if (ov.hEvent != nullptr) {
        CloseHandle(ov.hEvent);
    }
}

HANDLE open_vrax() {
    return CreateFileW(u"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

std::unique_ptr<pending_control> start_control(HANDLE h, DWORD code, const bytes& in,
                                               std::size_t out_length) {
    auto io = std::make_unique<pending_control>();
    io->in = in;
    io->out.assign(out_length, 0x5A);
    io->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    io->started = DeviceIoControl(h, code, io->in.empty() ? nullptr : io->in.data(),
                                  static_cast<DWORD>(io->in.size()),
                                  io->out.empty() ? nullptr : io->out.data(),
                                  static_cast<DWORD>(io->out.size()), &n, &io->ov);
    io->start_error = io->started ? 0 : GetLastError();
    return io;
}

outcome finish(HANDLE h, pending_control& io) {
    outcome r;
    if (!io.started && io.start_error != ERROR_IO_PENDING) {
        r.error = io.start_error;
    } else if (!GetOverlappedResult(h, &io.ov, &r.returned, TRUE)) {
        r.error = GetLastError();
    }
    r.out = io.out;
    return r;
}

outcome control(HANDLE h, DWORD code, const bytes& in, std::size_t out_length) {
    auto io = start_control(h, code, in, out_length);
    return finish(h, *io);
}

PCLIENT_CONTEXT session_of(HANDLE handle) {
    auto entry = platform::win32::current_process().handles().lookup(handle);
    if (!entry.obj) {
        return nullptr;
    }
    PFILE_OBJECT wdm = platform::io::file_body(*entry.obj);
    PCLIENT_CONTEXT found = nullptr;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    for (ULONG i = 0; i < WdfCollectionGetCount(ClientSessions); ++i) {
        auto file = static_cast<WDFFILEOBJECT>(WdfCollectionGetItem(ClientSessions, i));
        if (WdfFileObjectWdmGetFileObject(file) == wdm) {
            found = GetClientContext(file);
        }
    }
    WdfWaitLockRelease(ClientSessionsLock);
    return found;
}

bool abort_set(PCLIENT_CONTEXT session) {
    return KeReadStateEvent(&session->AbortEvent) != 0;
}

namespace {

void put16(bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

bytes tlv(std::uint8_t type, const bytes& value) {
    bytes t{type};
    put16(t, static_cast<std::uint16_t>(value.size()));
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

bytes result_tlv(std::uint16_t error) {
    bytes v;
    put16(v, error != 0 ? 1 : 0);
    put16(v, error);
    return tlv(VRAX_TLV_RESULT, v);
}

bytes frame(std::uint8_t service, std::uint8_t client, const bytes& payload) {
    bytes f{VRAX_INTERFACE_TYPE, 0, 0, 0, service, client};
    f.insert(f.end(), payload.begin(), payload.end());
    const std::size_t field = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(field);
    f[2] = static_cast<std::uint8_t>(field >> 8);
    return f;
}

bytes control_answer(std::uint8_t transaction, std::uint16_t message_id, const bytes& tlvs) {
    bytes m{VRAX_MESSAGE_RESPONSE, transaction};
    put16(m, message_id);
    put16(m, static_cast<std::uint16_t>(tlvs.size()));
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    return frame(VRAX_SERVICE_CONTROL, 0, m);
}

// One service-table list: a count byte, then (service type, first word, second word).
bytes service_list(std::initializer_list<std::array<std::uint16_t, 3>> entries) {
    bytes l{static_cast<std::uint8_t>(entries.size())};
    for (const auto& e : entries) {
        l.push_back(static_cast<std::uint8_t>(e[0]));
        put16(l, e[1]);
        put16(l, e[2]);
    }
    return l;
}

// Services 0..3 with their four version words; service 3 reports its port state (word 2).
bytes service_table_tlvs() {
    return cat({result_tlv(0),
                tlv(VRAX_TLV_PRIMARY,
                    service_list({{0, 1, 2}, {1, 0x0001, 0x0002}, {2, 2, 0}, {3, 0x0101, 0x0202}})),
                tlv(VRAX_TLV_VALUE, {}),
                service_list({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0x0303, 0x0404}})});
}

}  // namespace

void IoctlMachine::on_frame(const bytes& f) {
    if (f.size() < VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_HEADER_SIZE) {
        return;
    }
    std::optional<bytes> answer;
    {
        std::lock_guard g(lock_);
        seen_.push_back(f);
        const std::uint8_t service = f[VRAX_FRAME_SERVICE_TYPE_OFFSET];
        const std::uint8_t* m = f.data() + VRAX_FRAME_HEADER_SIZE;
        if (service == VRAX_SERVICE_CONTROL && m[0] == VRAX_MESSAGE_REQUEST) {
            const std::uint8_t id = m[1];
            const std::uint16_t message = static_cast<std::uint16_t>(m[2] | (m[3] << 8));
            const std::uint8_t* tlvs = m + VRAX_CONTROL_HEADER_SIZE;
            const std::size_t tlv_bytes =
                f.size() - VRAX_FRAME_HEADER_SIZE - VRAX_CONTROL_HEADER_SIZE;
            const std::uint8_t first = tlv_bytes > VRAX_TLV_HEADER_SIZE ? tlvs[3] : 0;
            switch (message) {
                case VRAX_CONTROL_SERVICE_TABLE_ID:
                    answer = control_answer(id, message, service_table_tlvs());
                    break;
                case VRAX_CONTROL_CLIENT_ID_ID:
                    if (script_.answer_client_id) {
                        answer = control_answer(
                            id, message,
                            cat({result_tlv(script_.client_id_error),
                                 tlv(VRAX_TLV_PRIMARY, {first, script_.next_client_id})}));
                        if (script_.client_id_error == 0) {
                            ++script_.next_client_id;
                        }
                    }
                    break;
                case VRAX_CONTROL_RELEASE_ID:
                    if (script_.answer_release && tlv_bytes >= 5) {
                        answer = control_answer(
                            id, message,
                            cat({result_tlv(0), tlv(VRAX_TLV_PRIMARY, {tlvs[3], tlvs[4]})}));
                    }
                    break;
                case VRAX_CONTROL_VALUE_QUERY_ID:
                    if (script_.answer_value) {
                        bytes v;
                        put16(v, script_.value);
                        answer = control_answer(id, message,
                                                cat({result_tlv(0), tlv(VRAX_TLV_VALUE, v)}));
                    }
                    break;
                default:
                    break;
            }
        } else if (service == 2 && f.size() >= VRAX_FRAME_HEADER_SIZE + VRAX_SERVICE_HEADER_SIZE &&
                   m[VRAX_SERVICE_MESSAGE_ID_OFFSET] == VRAX_SERVICE_TWO_QUERY_ID &&
                   script_.answer_service_two) {
            const bytes tlvs = cat({tlv(VRAX_TLV_RESULT, {0, 0, 0, 0}),
                                    tlv(VRAX_TLV_REPLY, script_.service_two_reply)});
            bytes reply{VRAX_MESSAGE_RESPONSE, m[1], m[2], VRAX_SERVICE_TWO_QUERY_ID, 0};
            put16(reply, static_cast<std::uint16_t>(tlvs.size()));
            reply.insert(reply.end(), tlvs.begin(), tlvs.end());
            answer = frame(2, f[VRAX_FRAME_CLIENT_ID_OFFSET], reply);
        }
    }
    if (answer) {
        (void)far_end::queue_read(0, *answer);
    }
}

void IoctlMachine::bring_up() {
    far_end::reset();
    platform::faults::clear();
    machine_ = std::make_unique<sim::machine>();
    far_end::set_frame_hook(0, [this](unsigned, bytes f) { on_frame(f); });
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
    ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] {
        WdfWaitLockAcquire(ClientSessionsLock, nullptr);
        bool ready = ServiceVersionTable[0][3].Words[3] != 0;
        WdfWaitLockRelease(ClientSessionsLock);
        PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(::ControlDevice);
        return ready && VraxInterfaceEnabled(context);
    })) << "port 0 ready";
}

void IoctlMachine::script(const std::function<void(modem_script&)>& change) {
    std::lock_guard g(lock_);
    change(script_);
}

unsigned IoctlMachine::requests_seen(std::uint16_t message_id) {
    std::lock_guard g(lock_);
    unsigned n = 0;
    for (const bytes& f : seen_) {
        if (f[VRAX_FRAME_SERVICE_TYPE_OFFSET] == VRAX_SERVICE_CONTROL &&
            (f[8] | (f[9] << 8)) == message_id) {
            ++n;
        }
    }
    return n;
}

unsigned IoctlMachine::service_two_queries_seen() {
    std::lock_guard g(lock_);
    unsigned n = 0;
    for (const bytes& f : seen_) {
        n += f[VRAX_FRAME_SERVICE_TYPE_OFFSET] == 2 ? 1 : 0;
    }
    return n;
}

bool IoctlMachine::traced(const char* text) {
    return machine_->trace()->contains(text);
}

void IoctlMachine::TearDown() {
    platform::faults::clear();
    if (!machine_) {
        return;
    }
    if (!removed_ && !NT_SUCCESS(machine_->remove_device())) {
        EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
    }
    far_end::reset();
    if (smd::installed()) {
        EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(machine_->shutdown().empty());
    machine_.reset();
}

}  // namespace ioctl_test
