// Win32 processes: an account (token), a handle table, and threads known to the scheduler.
//
//     auto p = win32::process::create(io::token_kind::user, "client");
//     p->run([] {
//         HANDLE h = CreateFileW(L"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
//                                OPEN_EXISTING, 0, nullptr);
//         ...
//     });
//     p->wait();  // the main thread returned and the process has exited
//
// A process exits when its main thread's function returns: the requests its threads still
// have pending are cancelled (and waited for, as a thread's exit waits), then every handle
// it holds is closed, which sends the clean-ups and closes. Threads started with
// start_thread that are still running then find their handles gone; each thread's own exit
// cancels the requests it issued.
//
// A thread that belongs to no process (the test's own thread) and calls the Win32 subset is
// taken into the "host" process, which runs as LocalSystem and never exits.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "core/scheduler.h"
#include "io/security.h"
#include "kernel/object_manager.h"

namespace platform::win32 {

// Unwinds a thread of a process that has ended (ExitProcess, TerminateProcess, a console
// event's default handler): thrown at the thread's next wait in the Win32 subset and caught
// by the thread's own wrapper, as Windows ends every thread of an exiting process.
struct thread_exit {};

class process {
  public:
    static std::shared_ptr<process> create(io::token_kind kind, std::string name);
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    const std::string& name() const { return name_; }
    DWORD id() const { return id_; }
    const io::token& token() const { return token_; }
    // The session the process runs in: 0 for services (LocalSystem and the service accounts,
    // a user-mode driver host among them), 1 for interactive programs (administrators and
    // ordinary users). Bare object names resolve in the session's namespace.
    ULONG session() const;
    ob::handle_table& handles() { return handles_; }

    // Starts the main thread running `main`; the process exits when it returns. Once only.
    void run(std::function<void()> main);
    // Starts another thread of the process.
    std::shared_ptr<scheduler::joinable> start_thread(std::string name, std::function<void()> body);
    // Waits (through the scheduler) until the process has exited.
    void wait();
    bool exited();

    // Ends the process with `code`: from here on its threads unwind at their next wait, then
    // its pending requests are cancelled (and waited for) and every handle it holds is
    // closed. False when it was ending already (the first exit code stands).
    bool terminate(DWORD code);
    // Waits until every thread the process started (run, start_thread) has finished too:
    // after terminate(), the threads that were unwinding are gone.
    void wait_threads();
    // STILL_ACTIVE (259) until the process ends.
    DWORD exit_code();
    // Set once terminate() has begun; read with the scheduler lock held.
    bool ending_locked() const { return ending_; }

  private:
    process(io::token_kind kind, std::string name);
    void adopt_current_thread();
    void thread_started();
    void thread_finished();

    std::string name_;
    DWORD id_;
    io::token token_;
    ob::handle_table handles_;
    std::shared_ptr<scheduler::joinable> main_;
    bool exited_ = false;      // guarded by the scheduler lock
    bool ending_ = false;      // guarded by the scheduler lock
    DWORD exit_code_ = 259;    // STILL_ACTIVE; guarded by the scheduler lock
    int running_threads_ = 0;  // guarded by the scheduler lock
    // Threads that have not yet begun to leave (guarded by the scheduler lock): the one that
    // brings it to zero in an ending process sweeps the handle table.
    int threads_not_left_ = 0;
    friend process& current_process();
    friend process* process_of(const thread_record& t);
};

// The calling thread's process (the host process for a thread that has none).
process& current_process();
process* process_of(const thread_record& t);

}  // namespace platform::win32
