// What the cancellation race tests share: a deferred control issued from a thread of its own
// (a thread of the test's process, or the main thread of a program of its own) that cancels
// it when the test says so, in one of the four ways a program's request is cancelled; and
// small checks of the driver's state around it.
//
// The issuing thread does each step only when told, so a test can arm pause points between
// the steps and hold whichever thread it needs: the issuer while it cancels, the port's
// service thread as it delivers the answer, the work item before its take-back.
#pragma once

#include <memory>
#include <string>

#include "core/pause_points.h"
#include "ioctl_fixture.h"

namespace ioctl_test {

enum class cancel_by {
    cancel_io_ex,  // CancelIoEx of the one request, from the issuing thread
    cancel_io,     // CancelIo on the handle, from the issuing thread
    thread_exit,   // the issuing thread ends with the request pending
    process_exit,  // the program ends with the request pending (its handle closes after)
};

std::string name_of(cancel_by how);
// The name of a test instance for `how`.
std::string cancel_name(const ::testing::TestParamInfo<cancel_by>& how);

// A one-way signal through the scheduler, usable between processes (a Win32 event handle is
// not); virtual time moves on while a thread waits for it.
class signal {
  public:
    void set();
    bool wait(std::int64_t ms);  // false when `ms` of virtual time passed first

  private:
    bool set_ = false;  // guarded by the scheduler lock
};

class issuer {
  public:
    // Opens \\.\VRAX on the issuing thread; returns once the handle is open.
    issuer(IoctlMachine* t, cancel_by how);
    // Lets the thread go and joins it (and, for a program, waits for its end); closes the
    // handle when it belongs to the test's process.
    ~issuer();
    issuer(const issuer&) = delete;
    issuer& operator=(const issuer&) = delete;

    // Starts the control on the issuing thread. With `wait_pending`, returns once
    // DeviceIoControl has returned (the control must then be pending); otherwise at once,
    // for a control the test holds inside the dispatcher.
    void start(DWORD code, const bytes& in, std::size_t out_length, bool wait_pending = true);
    // Tells the issuing thread to cancel; returns at once (the cancel may be held at a pause
    // point). cancel_returned() waits until the cancelling call has returned (for the exits:
    // until the thread or the program has ended).
    void cancel();
    bool cancel_returned(std::int64_t ms = 20000);

    bool done();
    // Waits up to `ms` of virtual time for the control to complete.
    bool wait_done(std::int64_t ms = 20000);
    NTSTATUS status();
    ULONG_PTR information();
    std::uint8_t out(std::size_t i);

    PCLIENT_CONTEXT session() const { return session_; }
    // The issuing thread's handle; null for a program's (closed at its exit).
    HANDLE handle() const { return how_ == cancel_by::process_exit ? nullptr : h_; }
    // Closes the issuing thread's handle from the test's thread (thread kinds only): its
    // clean-up reaches the driver while the control may still be pending.
    void close_handle();
    // Holds arrivals from the issuing thread only.
    platform::pause_points::hold_options from_issuer() const;

  private:
    void body();

    cancel_by how_;
    HANDLE h_ = nullptr;
    PCLIENT_CONTEXT session_ = nullptr;
    std::string thread_;  // the issuing thread's scheduler name

    DWORD code_ = 0;
    bytes in_;
    std::size_t out_length_ = 0;
    std::unique_ptr<pending_control> io_;

    signal opened_, go_, started_, cancel_, cancelled_, leave_;
    bool abandon_ = false;  // guarded by the scheduler lock
    HANDLE thread_handle_ = nullptr;
    std::shared_ptr<sim::program> program_;
};

// Records of the driver's cancel routine so far.
std::size_t cancel_routines_run(IoctlMachine* t);
// Waits up to `ms` of virtual time with every other thread allowed to run.
void let_run(std::int64_t ms = 100);
// A fresh handle's client-id control completes at once with a granted id: neither the
// sequential queue nor the port was left blocked.
void expect_queue_serves_a_new_session(IoctlMachine* t);

}  // namespace ioctl_test
