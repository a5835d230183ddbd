// I/O completion ports: CreateIoCompletionPort, GetQueuedCompletionStatus and
// PostQueuedCompletionStatus. A port is an object of its own in the process's handle table;
// a file associated with it keeps the port alive through FILE_OBJECT::CompletionContext until
// the file object goes, as the I/O manager's IO_COMPLETION_CONTEXT does.
#include "win32/completion_port.h"

#include <deque>
#include <optional>
#include <vector>

#include "core/scheduler.h"
#include "io/io_manager.h"
#include "win32/process.h"
#include "win32/threads.h"
#include "win32/win32_internal.h"

namespace platform::win32 {
namespace {

constexpr ACCESS_MASK io_completion_all_access = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
constexpr ACCESS_MASK io_completion_modify_state = 0x2;

struct packet {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
};

}  // namespace

class completion_port : public ob::object {
  public:
    completion_port() : ob::object(ob::kind::other, this) {}

    // Hands the packet to the thread that started waiting last, or queues it. A port whose
    // last handle is closed can never be read again: its packets are dropped.
    void post(const packet& p) {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        if (closed_) {
            return;
        }
        if (!waiters_.empty()) {
            waiter* w = waiters_.back();
            waiters_.pop_back();
            w->got = p;
        } else {
            queue_.push_back(p);
        }
        s.wake();
    }

    enum class outcome { got, timed_out, closed };

    // Takes the next packet, waiting until `deadline`. A thread of an ending process unwinds.
    outcome take(process& proc, ticks deadline, packet& out) {
        auto& s = scheduler::get();
        std::unique_lock lk(s.lock());
        exit_if_ending_locked(proc);
        if (!queue_.empty()) {
            out = queue_.front();
            queue_.pop_front();
            return outcome::got;
        }
        if (closed_) {
            return outcome::closed;
        }
        waiter self;
        waiters_.push_back(&self);
        std::function<bool()> ready = [&] {
            return self.got.has_value() || closed_ || proc.ending_locked();
        };
        if (deadline != 0) {
            s.block(lk, ready, deadline, "a completion packet (GetQueuedCompletionStatus)");
        }
        std::erase(waiters_, &self);
        exit_if_ending_locked(proc);  // before a packet: an ending process reads no more
        if (self.got) {
            out = *self.got;
            return outcome::got;
        }
        return closed_ ? outcome::closed : outcome::timed_out;
    }

    std::string describe() const override { return "I/O completion port"; }

  protected:
    void on_last_handle_closed() override {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        closed_ = true;
        queue_.clear();
        s.wake();
    }

  private:
    struct waiter {
        std::optional<packet> got;
    };
    // Guarded by the scheduler lock.
    std::deque<packet> queue_;
    std::vector<waiter*> waiters_;  // in the order they started waiting
    bool closed_ = false;
};

namespace {

// FILE_OBJECT::CompletionContext of an associated file.
struct file_completion : io::completion_context {
    completion_port* port = nullptr;  // one reference
    ULONG_PTR key = 0;
};

// Guards every file's CompletionContext while it is set or read.
std::mutex& association_lock() {
    static auto* m = new std::mutex();
    return *m;
}

void release_file_completion(io::completion_context* c) {
    auto* fc = static_cast<file_completion*>(c);
    fc->port->release();
    delete fc;
}

ob::ref<completion_port> port_from_handle(HANDLE h, ACCESS_MASK needed) {
    ob::handle_entry e = current_process().handles().lookup(h);
    auto* port = e.obj ? dynamic_cast<completion_port*>(e.obj.get()) : nullptr;
    if (port == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    if ((e.granted & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return ob::ref<completion_port>(port, false);
}

}  // namespace

completion_notice::completion_notice(completion_port* port, ULONG_PTR key, LPOVERLAPPED ov)
    : port_(port), key_(key), ov_(ov) {
    port_->add_ref();
}

completion_notice::~completion_notice() {
    port_->release();
}

void completion_notice::completed(NTSTATUS status, ULONG_PTR information) {
    std::lock_guard g(lock_);
    completed_ = true;
    status_ = status;
    information_ = information;
    post_when_due();
}

void completion_notice::started(bool sent, bool pended) {
    std::lock_guard g(lock_);
    started_ = true;
    sent_ = sent;
    pended_ = pended;
    post_when_due();
}

void completion_notice::post_when_due() {
    if (!started_ || !completed_ || done_ || !sent_) {
        return;
    }
    done_ = true;
    if (NT_ERROR(status_) && !pended_) {
        return;  // failed at once: the I/O call reported it
    }
    port_->post({static_cast<DWORD>(information_), key_, ov_, status_});
}

HANDLE overlapped_event(const OVERLAPPED* ov) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(ov->hEvent) &
                                    ~std::uintptr_t(1));
}

std::shared_ptr<completion_notice> completion_for(PFILE_OBJECT fo, const OVERLAPPED* ov) {
    if (ov == nullptr || (reinterpret_cast<std::uintptr_t>(ov->hEvent) & 1) != 0) {
        return nullptr;
    }
    std::lock_guard g(association_lock());
    auto* fc = static_cast<file_completion*>(fo->CompletionContext);
    if (fc == nullptr) {
        return nullptr;
    }
    return std::make_shared<completion_notice>(fc->port, fc->key, const_cast<LPOVERLAPPED>(ov));
}

}  // namespace platform::win32

using namespace platform;

extern "C" {

HANDLE CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                              ULONG_PTR CompletionKey, DWORD) {
    win32::process& proc = win32::current_process();
    if (FileHandle == INVALID_HANDLE_VALUE) {
        if (ExistingCompletionPort != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return proc.handles().insert(ob::make<win32::completion_port>(),
                                     win32::io_completion_all_access);
    }
    ob::handle_entry file = proc.handles().lookup(FileHandle);
    if (!file.obj || file.obj->type() != ob::kind::file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ob::ref<win32::completion_port> port;
    if (ExistingCompletionPort != nullptr) {
        port = win32::port_from_handle(ExistingCompletionPort, win32::io_completion_modify_state);
        if (!port) {
            return nullptr;
        }
    } else {
        port = ob::make<win32::completion_port>();
    }
    PFILE_OBJECT fo = io::file_body(*file.obj);
    {
        std::lock_guard g(win32::association_lock());
        // A file opened for synchronous I/O cannot post packets, and a file has one port.
        if (io::file_is_synchronous(fo) || fo->CompletionContext != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto* fc = new win32::file_completion();
        fc->release = win32::release_file_completion;
        fc->port = port.get();
        fc->port->add_ref();
        fc->key = CompletionKey;
        fo->CompletionContext = fc;
    }
    if (ExistingCompletionPort != nullptr) {
        return ExistingCompletionPort;
    }
    return proc.handles().insert(port, win32::io_completion_all_access);
}

BOOL GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                               PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                               DWORD dwMilliseconds) {
    if (lpNumberOfBytesTransferred == nullptr || lpCompletionKey == nullptr ||
        lpOverlapped == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpOverlapped = nullptr;
    ob::ref<win32::completion_port> port =
        win32::port_from_handle(CompletionPort, win32::io_completion_modify_state);
    if (!port) {
        return FALSE;
    }
    auto& s = scheduler::get();
    ticks deadline = no_deadline;
    if (dwMilliseconds != INFINITE) {
        deadline = dwMilliseconds == 0 ? 0 : s.now() + ticks(dwMilliseconds) * ticks_per_ms;
    }
    win32::packet p;
    switch (port->take(win32::current_process(), deadline, p)) {
        case win32::completion_port::outcome::timed_out:
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        case win32::completion_port::outcome::closed:
            SetLastError(ERROR_ABANDONED_WAIT_0);
            return FALSE;
        case win32::completion_port::outcome::got:
            break;
    }
    *lpNumberOfBytesTransferred = p.bytes;
    *lpCompletionKey = p.key;
    *lpOverlapped = p.ov;
    if (!NT_SUCCESS(p.status)) {
        win32::set_status_error(p.status);
        return FALSE;
    }
    return TRUE;
}

BOOL PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped) {
    ob::ref<win32::completion_port> port =
        win32::port_from_handle(CompletionPort, win32::io_completion_modify_state);
    if (!port) {
        return FALSE;
    }
    port->post({dwNumberOfBytesTransferred, dwCompletionKey, lpOverlapped, STATUS_SUCCESS});
    return TRUE;
}

}  // extern "C"
