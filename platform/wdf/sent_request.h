// Requests the driver creates (WdfRequestCreate) to send to an I/O target. Such a request
// owns one IRP for its whole life; each format fills it in for a read, a write or a device
// control and each send hands it to the top of the target's stack.
//
// Life of a send, as FxIoTarget::SubmitLocked and RequestCompletionRoutine run it:
//   1. format: the request records its buffers (taking a reference on each memory object)
//      and the target; a request still pending on a target cannot be formatted;
//   2. send: the target checks its state (only an open, started target takes requests:
//      otherwise the IRP's status becomes STATUS_INVALID_DEVICE_STATE and nothing is sent),
//      puts the request on its sent list and calls the target's driver;
//   3. completion: the output is copied back (never more than the caller's buffer), the
//      completion parameters are filled in, a status of STATUS_CANCELLED caused by a time-out
//      becomes STATUS_IO_TIMEOUT, the request leaves the sent list and is no longer
//      formatted, and only then is the completion routine called (it may reuse, reformat and
//      send the request again, or delete it).
//
// The verifier treats sending a request that is still pending, formatting, reusing or
// deleting it while pending, and sending one that was never formatted after its last
// completion, as the errors they are.
#pragma once

#include <wdf.h>

#include <cstdint>
#include <memory>
#include <string>

#include "io/irp.h"
#include "wdf/request.h"

namespace platform::wdf {

class fx_io_target;
class fx_memory;

// Where completion routines run. The framework calls a completion routine from the IRP's
// completion, on whatever thread completed the IRP and at its IRQL, which for a driver
// completing from a DPC is DISPATCH_LEVEL on another processor.
//   never:  on the completing thread, at its IRQL;
//   always: at DISPATCH_LEVEL on the platform's completion thread ("io-completion"), as a
//           completion from another processor's DPC arrives;
//   random: per completion, one of the two above or the completing thread raised to
//           DISPATCH_LEVEL, drawn from a generator seeded with `seed`.
// The default is `always`: a completion routine must be correct at DISPATCH_LEVEL on an
// arbitrary thread, and this makes every mistake of that kind (a wait, pageable code, a
// passive-only routine, a lock the sender holds) show on every run.
enum class completion_context { never, always, random };
void set_completion_context(completion_context mode, std::uint64_t seed = 0);
completion_context current_completion_context();

// One side of a transfer: a memory object (with a reference held) or a caller's buffer.
struct transfer_buffer {
    fx_memory* memory = nullptr;  // referenced while formatted
    std::uint8_t* data = nullptr;
    size_t length = 0;
    size_t offset = 0;  // into the memory object, for the completion parameters
    bool present() const { return data != nullptr || length != 0; }
};

class fx_sent_request : public fx_request {
  public:
    // WdfRequestCreate: parented to RequestAttributes->ParentObject, else to the driver.
    // With a target, the target must be open (FxRequestBase::ValidateTarget).
    static NTSTATUS create(const WDF_OBJECT_ATTRIBUTES* attributes, fx_io_target* target,
                           fx_sent_request** out);

    // The request behind a handle, which must be one the driver created.
    static fx_sent_request* from(WDFREQUEST handle, const char* routine);

    // Records a read, write or device control for `target`. Takes over the memory
    // references in `input` and `output`. Fails with STATUS_INVALID_DEVICE_STATE when the
    // target is not open.
    NTSTATUS format(fx_io_target* target, UCHAR major, ULONG ioctl_code, transfer_buffer input,
                    transfer_buffer output, LONGLONG device_offset, const char* routine);

    void set_completion_routine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context);
    void completion_params(WDF_REQUEST_COMPLETION_PARAMS* out);
    NTSTATUS reuse(const WDF_REQUEST_REUSE_PARAMS& params);
    // WdfRequestCancelSentRequest: asks the target's driver to cancel; TRUE when a cancel
    // routine was called.
    bool cancel_sent();

    // ---- Used by the target; guarded by the scheduler lock ------------------------------
    enum class phase { idle, sent };
    phase state = phase::idle;
    bool formatted = false;
    bool timed_out = false;  // cancelled because its time-out passed: report STATUS_IO_TIMEOUT
    fx_io_target* target = nullptr;   // formatted for (referenced while formatted)
    fx_io_target* sent_to = nullptr;  // while sent
    // A synchronous send waits on this instead of calling a completion routine.
    struct sync_wait {
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
        bool call_driver_routine = false;  // WdfRequestSend with the synchronous option
    };
    sync_wait* waiter = nullptr;

    // Readies the IRP for the target's top device and file object. Lock not held.
    void prepare_irp(PDEVICE_OBJECT device, PFILE_OBJECT file);
    // Called from the IRP's completion; runs the rest where the completion context says.
    void on_irp_completed();

  protected:
    ~fx_sent_request() override;
    void dispose() override;

  private:
    fx_sent_request();
    void release_format_locked(std::vector<fx_object*>& to_release);
    // Returns the target the request came back from; the caller drops the request's send
    // reference first and then calls its completion_returned(), so that a target waiting
    // for its completions (and the driver's unload behind it) never sees the request's last
    // reference still held.
    fx_io_target* finish_completion();

    std::unique_ptr<_IRP> owned_irp_;
    transfer_buffer input_;
    transfer_buffer output_;
    LONGLONG device_offset_ = 0;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine_ = nullptr;
    WDFCONTEXT routine_context_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS params_{};
};

}  // namespace platform::wdf
