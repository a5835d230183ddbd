// Win32 processes and the process-level routines.
#include "win32/process.h"

#include <atomic>
#include <mutex>

#include "io/io_manager.h"

namespace platform::win32 {
namespace {

constexpr DWORD system_process_id = 4;
std::atomic<DWORD> next_process_id{0x100};

void install_table_resolver() {
    static std::once_flag once;
    std::call_once(once, [] {
        ob::set_process_table_resolver([](void* p) -> ob::handle_table* {
            return p != nullptr ? &static_cast<process*>(p)->handles() : nullptr;
        });
    });
}

}  // namespace

process::process(io::token_kind kind, std::string name)
    : name_(std::move(name)),
      id_(next_process_id.fetch_add(4)),
      token_(io::make_token(kind)),
      handles_(false, name_) {}

ULONG process::session() const {
    switch (token_.kind) {
        case io::token_kind::administrator:
        case io::token_kind::user:
            return 1;
        case io::token_kind::local_system:
        case io::token_kind::user_mode_driver:
        case io::token_kind::local_service:
        case io::token_kind::network_service:
            break;
    }
    return 0;
}

std::shared_ptr<process> process::create(io::token_kind kind, std::string name) {
    install_table_resolver();
    return std::shared_ptr<process>(new process(kind, std::move(name)));
}

process::~process() {
    if (main_) {
        wait();
        main_->join();
    }
    // Threads of the process still unwinding after its end use it until they are gone.
    wait_threads();
    handles_.close_all();
}

void process::adopt_current_thread() {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    s.current_locked().user_process = this;
}

void process::run(std::function<void()> main) {
    if (main_) {
        return;  // a process has one main thread
    }
    thread_started();
    main_ = scheduler::get().start_thread(name_ + ":main", [this, main = std::move(main)] {
        adopt_current_thread();
        try {
            main();
        } catch (const thread_exit&) {
            // The process was ended while this thread ran; its exit code is already set.
        }
        terminate(0);
        thread_finished();
    });
}

std::shared_ptr<scheduler::joinable> process::start_thread(std::string name,
                                                           std::function<void()> body) {
    thread_started();
    return scheduler::get().start_thread(name_ + ":" + name, [this, body = std::move(body)] {
        adopt_current_thread();
        try {
            body();
        } catch (const thread_exit&) {
        }
        thread_finished();
    });
}

bool process::terminate(DWORD code) {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (ending_) {
            return false;
        }
        ending_ = true;
        exit_code_ = code;
        s.wake();
    }
    // Pending requests first (cancelled and waited for), then the handles: their clean-ups
    // reach the driver only after the cancellations.
    io::cancel_process_requests(this);
    handles_.close_all();
    std::lock_guard g(s.lock());
    exited_ = true;
    s.wake();
    return true;
}

void process::thread_started() {
    std::lock_guard g(scheduler::get().lock());
    ++running_threads_;
    ++threads_not_left_;
}

void process::thread_finished() {
    auto& s = scheduler::get();
    bool sweep = false;
    {
        std::lock_guard g(s.lock());
        sweep = --threads_not_left_ == 0 && ending_;
    }
    // The termination closed the handle table while threads could still be inside a call: a
    // create that completed after it put its handle in the table again. Windows sweeps a
    // process's handle table when its last thread exits; so does the last thread here, before
    // the process counts as having no threads left.
    if (sweep) {
        handles_.close_all();
    }
    std::lock_guard g(s.lock());
    --running_threads_;
    s.wake();
}

void process::wait_threads() {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    std::function<bool()> done = [this] { return running_threads_ == 0; };
    s.block(lk, done, no_deadline, "the threads of process '" + name_ + "' to end");
}

DWORD process::exit_code() {
    std::lock_guard g(scheduler::get().lock());
    return exit_code_;
}

void process::wait() {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    std::function<bool()> done = [this] { return exited_; };
    s.block(lk, done, no_deadline, "process '" + name_ + "' to exit");
}

bool process::exited() {
    std::lock_guard g(scheduler::get().lock());
    return exited_;
}

process* process_of(const thread_record& t) {
    return static_cast<process*>(t.user_process);
}

process& current_process() {
    auto& s = scheduler::get();
    static process* host = [] {
        install_table_resolver();
        return new process(io::token_kind::local_system, "host");
    }();
    std::lock_guard g(s.lock());
    thread_record& self = s.current_locked();
    if (self.user_process == nullptr) {
        self.user_process = host;
    }
    return *static_cast<process*>(self.user_process);
}

}  // namespace platform::win32

using namespace platform;

extern "C" {

HANDLE PsGetCurrentProcessId(VOID) {
    win32::process* p = win32::process_of(scheduler::get().current());
    DWORD id = p != nullptr ? p->id() : win32::system_process_id;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(id));
}

DWORD GetCurrentProcessId(void) {
    return win32::current_process().id();
}

DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(scheduler::get().current().id);
}

}  // extern "C"
