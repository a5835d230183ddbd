// The session tests' machine and seams.
#include "session_fixture.h"

#include <cstring>

#include "core/faults.h"
#include "core/scheduler.h"
#include "io/io_manager.h"
#include "kernel/object_manager.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "win32/process.h"

#include "vrax_device.h"
#include "vrax_pool.h"
#include "vrax_wire.h"

namespace session_test {

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
    for (std::int64_t t = 0; t < ms && !done(); t += 10) {
        settle_ms(10);
    }
    return done();
}

std::int64_t now_ms() {
    return scheduler::get().now() / platform::ticks_per_ms;
}

HANDLE open_vrax(bool overlapped) {
    return CreateFileW(u"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
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

ULONG session_count() {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ULONG n = WdfCollectionGetCount(ClientSessions);
    WdfWaitLockRelease(ClientSessionsLock);
    return n;
}

void bind(PCLIENT_CONTEXT session, ULONG port, ULONG service_type, UCHAR client_id,
          bool client_id_held) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    WdfWaitLockAcquire(session->WriteLock, nullptr);
    session->PortIndex = port;
    session->ServiceType = service_type;
    session->ClientId = client_id;
    session->ClientIdVoided = 0;
    WdfWaitLockRelease(session->WriteLock);
    session->ClientIdHeld = client_id_held ? 1 : 0;
    session->Kind = VRAX_SESSION_KIND_BOUND;
    WdfWaitLockRelease(ClientSessionsLock);
}

void store_message(PCLIENT_CONTEXT session, const bytes& message) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, message.size(), &memory,
                              &buffer),
              STATUS_SUCCESS);
    std::memcpy(buffer, message.data(), message.size());
    WdfWaitLockAcquire(session->ReceiveLock, nullptr);
    NTSTATUS status = WdfCollectionAdd(session->ReceiveMessages, memory);
    WdfWaitLockRelease(session->ReceiveLock);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

ULONG stored_messages(PCLIENT_CONTEXT session) {
    WdfWaitLockAcquire(session->ReceiveLock, nullptr);
    ULONG n = WdfCollectionGetCount(session->ReceiveMessages);
    WdfWaitLockRelease(session->ReceiveLock);
    return n;
}

ULONG outstanding(PCLIENT_CONTEXT session) {
    WdfWaitLockAcquire(session->WriteLock, nullptr);
    ULONG n = session->OutstandingWrites;
    WdfWaitLockRelease(session->WriteLock);
    return n;
}

void set_outstanding(PCLIENT_CONTEXT session, ULONG value) {
    WdfWaitLockAcquire(session->WriteLock, nullptr);
    session->OutstandingWrites = value;
    WdfWaitLockRelease(session->WriteLock);
}

bool pending_io::done() const {
    return HasOverlappedIoCompleted(&ov);
}

DWORD pending_io::finish(HANDLE handle, DWORD* transferred) {
    *transferred = 0;
    if (!started && start_error != ERROR_IO_PENDING) {
        return start_error;
    }
    if (!GetOverlappedResult(handle, &ov, transferred, TRUE)) {
        return GetLastError();
    }
    return 0;
}

pending_io::~pending_io() {
    if (ov.hEvent != nullptr) {
        CloseHandle(ov.hEvent);
    }
}

namespace {

std::unique_ptr<pending_io> start(HANDLE handle, bytes buffer, bool read) {
    auto io = std::make_unique<pending_io>();
    io->buffer = std::move(buffer);
    io->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    auto size = static_cast<DWORD>(io->buffer.size());
    io->started = read ? ReadFile(handle, io->buffer.data(), size, &n, &io->ov)
                       : WriteFile(handle, io->buffer.data(), size, &n, &io->ov);
    io->start_error = io->started ? 0 : GetLastError();
    return io;
}

}  // namespace

std::unique_ptr<pending_io> start_read(HANDLE handle, std::size_t size) {
    return start(handle, bytes(size, 0xAB), true);
}

std::unique_ptr<pending_io> start_write(HANDLE handle, const bytes& data) {
    return start(handle, data, false);
}

void Session::boot(std::optional<bool> support_new_hwid, bool far_open) {
    far_end::reset();
    sim::machine_options options;
    options.support_new_hwid = support_new_hwid;
    machine_ = std::make_unique<sim::machine>(options);
    if (far_open) {
        ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    }
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
    ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
}

void Session::bring_up(std::optional<bool> support_new_hwid) {
    boot(support_new_hwid);
    auto notice = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(notice.has_value());
    ASSERT_TRUE(wait_until([] {
        PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(::ControlDevice);
        return VraxInterfaceEnabled(context) != FALSE;
    }));
    // The port-open routine asks for the service table and waits 5 s for the port to be
    // ready. Nobody answers here: take its request off the wire and let that wait run out, so
    // the tests see only the frames they cause.
    auto table_request = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(table_request.has_value()) << "the service-table request";
    ASSERT_GE(table_request->size(), 12u);
    ASSERT_EQ((*table_request)[VRAX_FRAME_SERVICE_TYPE_OFFSET], VRAX_SERVICE_CONTROL);
    ASSERT_EQ((*table_request)[VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET],
              VRAX_CONTROL_SERVICE_TABLE_ID);
    settle_ms(5100);
}

std::optional<bytes> Session::next_service_frame(std::int64_t ms) {
    for (;;) {
        auto frame = far_end::next_frame(0, far_end::deadline_in_ms(ms));
        if (!frame || frame->size() <= VRAX_FRAME_SERVICE_TYPE_OFFSET ||
            (*frame)[VRAX_FRAME_SERVICE_TYPE_OFFSET] != VRAX_SERVICE_CONTROL) {
            return frame;
        }
    }
}

bool Session::traced(const char* text) {
    return machine_->trace()->contains(text);
}

std::vector<std::string> Session::finish() {
    std::vector<std::string> report;
    if (machine_) {
        // A device not removed yet by the test goes now; one that refuses an orderly removal
        // goes as its bus would take it.
        const auto state = platform::pnp::state(machine_->device());
        if (state != platform::pnp::device_state::removed &&
            state != platform::pnp::device_state::surprise_removed &&
            !NT_SUCCESS(machine_->remove_device())) {
            EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
        }
        far_end::reset();
        if (smd::installed()) {
            EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
        }
        report = machine_->shutdown();
        machine_.reset();
    }
    return report;
}

void Session::TearDown() {
    platform::faults::clear();
    EXPECT_TRUE(finish().empty());
}

}  // namespace session_test
