// I/O completion ports (ioapiset.h): the port object, and what the file routines need to
// post a packet when an overlapped request on an associated file completes.
#pragma once

#include <wdm.h>
#include <windows.h>

#include <memory>
#include <mutex>

namespace platform::win32 {

class completion_port;

// One overlapped request on a file associated with a port. Windows queues its packet when the
// request completes, unless it failed at once: a request whose dispatch did not return
// STATUS_PENDING and whose status is an error leaves nothing on the port (the caller saw the
// error from ReadFile / WriteFile / DeviceIoControl itself). Completion and the dispatch's
// return can happen in either order, on different threads; the packet goes out once both
// are known.
class completion_notice {
  public:
    completion_notice(completion_port* port, ULONG_PTR key, LPOVERLAPPED ov);
    ~completion_notice();
    completion_notice(const completion_notice&) = delete;
    completion_notice& operator=(const completion_notice&) = delete;

    // The request completed (from its on_complete, after the OVERLAPPED was written).
    void completed(NTSTATUS status, ULONG_PTR information);
    // The I/O call's outcome: sent to the driver, and whether the dispatch returned
    // STATUS_PENDING.
    void started(bool sent, bool pended);

  private:
    void post_when_due();  // with lock_ held

    completion_port* port_;  // one reference, dropped by the destructor
    ULONG_PTR key_;
    LPOVERLAPPED ov_;
    std::mutex lock_;
    bool started_ = false;
    bool sent_ = false;
    bool pended_ = false;
    bool completed_ = false;
    bool done_ = false;
    NTSTATUS status_ = 0;
    ULONG_PTR information_ = 0;
};

// The notice for an overlapped request on `fo` with `ov`: null when the file is associated
// with no port, or when the OVERLAPPED's hEvent has its low-order bit set (the documented
// way to keep one request's completion off the port).
std::shared_ptr<completion_notice> completion_for(PFILE_OBJECT fo, const OVERLAPPED* ov);

// The event handle an OVERLAPPED names: hEvent without its low-order bit.
HANDLE overlapped_event(const OVERLAPPED* ov);

}  // namespace platform::win32
