// The issuing thread of the cancellation race tests (see race_issuer.h).
#include "race_issuer.h"

#include <vrax/vrax_ioctl.h>

#include "core/scheduler.h"
#include "io/security.h"

namespace ioctl_test {

using platform::scheduler;

std::string name_of(cancel_by how) {
    switch (how) {
        case cancel_by::cancel_io_ex:
            return "CancelIoEx";
        case cancel_by::cancel_io:
            return "CancelIo";
        case cancel_by::thread_exit:
            return "ThreadExit";
        case cancel_by::process_exit:
            return "ProcessExit";
    }
    return "?";
}

std::string cancel_name(const ::testing::TestParamInfo<cancel_by>& how) {
    return name_of(how.param);
}

void signal::set() {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    set_ = true;
    s.wake();
}

bool signal::wait(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(
        lk, [this] { return set_; }, deadline, "test: a signal of the issuing thread");
}

namespace {

constexpr std::int64_t forever_ms = 24LL * 3600 * 1000;

ULONG_PTR load(const ULONG_PTR& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

const ULONG_PTR pending = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));

}  // namespace

issuer::issuer(IoctlMachine* t, cancel_by how) : how_(how) {
    if (how == cancel_by::process_exit) {
        program_ = t->machine_->host().run_program(platform::io::token_kind::administrator,
                                                   "client", [this] { body(); });
    } else {
        thread_handle_ = CreateThread(
            nullptr, 0,
            [](LPVOID self) -> DWORD {
                static_cast<issuer*>(self)->body();
                return 0;
            },
            this, 0, nullptr);
        EXPECT_NE(thread_handle_, nullptr);
    }
    EXPECT_TRUE(opened_.wait(5000)) << "the issuing thread opened its handle";
    EXPECT_NE(session_, nullptr);
}

issuer::~issuer() {
    {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        abandon_ = true;
    }
    go_.set();
    cancel_.set();
    leave_.set();
    if (program_) {
        program_->wait();
        if (io_) {
            io_->ov.hEvent = nullptr;  // the program's handle, closed at its exit
        }
    } else if (thread_handle_ != nullptr) {
        EXPECT_EQ(WaitForSingleObject(thread_handle_, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread_handle_);
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) {
            CloseHandle(h_);
        }
    }
}

void issuer::body() {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        thread_ = s.current_locked().name;
    }
    h_ = open_vrax();
    session_ = session_of(h_);
    opened_.set();
    auto abandoned = [&s, this] {
        std::lock_guard g(s.lock());
        return abandon_;
    };
    if (!go_.wait(forever_ms) || abandoned()) {
        return;
    }
    io_ = start_control(h_, code_, in_, out_length_);
    started_.set();
    if (!cancel_.wait(forever_ms) || abandoned()) {
        return;
    }
    switch (how_) {
        case cancel_by::cancel_io_ex:
            EXPECT_TRUE(CancelIoEx(h_, &io_->ov) || GetLastError() == ERROR_NOT_FOUND);
            break;
        case cancel_by::cancel_io:
            EXPECT_TRUE(CancelIo(h_));
            break;
        case cancel_by::thread_exit:
        case cancel_by::process_exit:
            // Returning ends the thread (and the program with its main thread); the exit
            // cancels the pending request and waits for it, then the handles close.
            cancelled_.set();
            return;
    }
    cancelled_.set();
    (void)leave_.wait(forever_ms);
}

void issuer::start(DWORD code, const bytes& in, std::size_t out_length, bool wait_pending) {
    code_ = code;
    in_ = in;
    out_length_ = out_length;
    go_.set();
    if (wait_pending) {
        ASSERT_TRUE(started_.wait(5000)) << "DeviceIoControl returned";
        EXPECT_FALSE(io_->started) << "a deferred control is pending";
        EXPECT_EQ(io_->start_error, static_cast<DWORD>(ERROR_IO_PENDING));
    }
}

void issuer::cancel() {
    cancel_.set();
}

bool issuer::cancel_returned(std::int64_t ms) {
    if (!cancelled_.wait(ms)) {
        return false;
    }
    if (program_) {
        program_->wait();
    } else if (how_ == cancel_by::thread_exit) {
        return WaitForSingleObject(thread_handle_, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
    }
    return true;
}

bool issuer::done() {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    return io_ && load(io_->ov.Internal) != pending;
}

bool issuer::wait_done(std::int64_t ms) {
    if (!started_.wait(ms)) {
        return false;
    }
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(
        lk, [this] { return load(io_->ov.Internal) != pending; }, deadline,
        "test: the issued control to complete");
}

NTSTATUS issuer::status() {
    std::lock_guard g(scheduler::get().lock());
    return io_ ? static_cast<NTSTATUS>(static_cast<ULONG>(load(io_->ov.Internal))) : STATUS_PENDING;
}

ULONG_PTR issuer::information() {
    std::lock_guard g(scheduler::get().lock());
    return io_ ? load(io_->ov.InternalHigh) : 0;
}

std::uint8_t issuer::out(std::size_t i) {
    return io_ && i < io_->out.size() ? io_->out[i] : 0;
}

void issuer::close_handle() {
    ASSERT_NE(how_, cancel_by::process_exit);
    ASSERT_TRUE(CloseHandle(h_));
    h_ = nullptr;
}

platform::pause_points::hold_options issuer::from_issuer() const {
    platform::pause_points::hold_options o;
    o.filter = [name = thread_](const platform::pause_points::site& s) { return s.thread == name; };
    return o;
}

std::size_t cancel_routines_run(IoctlMachine* t) {
    std::size_t n = 0;
    for (const auto& r : t->machine_->trace()->records()) {
        n += r.format.find("deferred request %p cancelled") != std::string::npos ? 1 : 0;
    }
    return n;
}

void let_run(std::int64_t ms) {
    settle_ms(ms);
}

void expect_queue_serves_a_new_session(IoctlMachine* t) {
    t->script([](modem_script& m) { m.answer_client_id = true; });
    HANDLE other = open_vrax();
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const std::int64_t start = now_ms();
    outcome r = control(other, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.returned, 1u);
    EXPECT_LT(now_ms() - start, 1000) << "the sequential queue was free";
    CloseHandle(other);
}

}  // namespace ioctl_test
