// When and where a pin's Process runs.
//
// Process is called at PASSIVE_LEVEL (DISPATCH_LEVEL when the descriptor asks
// for dispatch-level processing), one call at a time under the pin's
// processing mutex, and only while the pin is at or above its minimum
// processing state (RUN with KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, else PAUSE).
// A trigger - a frame arriving at an empty leading edge, the pin entering its
// minimum processing state, KsPinAttemptProcessing - asks for one pass; a
// trigger while processing is not allowed is dropped. In a pass, Process is
// called again after STATUS_SUCCESS while a frame is at the leading edge and
// the call changed the queue (a call that changed nothing ends the pass, so a
// driver that keeps answering STATUS_SUCCESS without work cannot spin), and
// again for a trigger that came while it ran; STATUS_PENDING, a failure, or
// 4096 calls end the pass until the next trigger.
//
// Where the pass runs:
//  - real clock: on the pin's own processing thread, woken by the trigger;
//  - virtual clock, deterministic points:
//      a trigger inside a client call at PASSIVE_LEVEL (Submit, SetState,
//      ...): synchronously at the end of the outermost client call, on the
//      client's thread;
//      a trigger at DISPATCH_LEVEL (KsPinAttemptProcessing from a DPC, e.g.
//      the frame engine's tick): right after that DPC routine returns, on the
//      thread advancing time, at PASSIVE_LEVEL (the pass is itself queued as a
//      DPC behind the current one and drops to PASSIVE_LEVEL to run). If that
//      thread is inside one of this pin's callbacks (a state change waiting
//      for the tick), the pass is deferred to the end of that client call;
//      a trigger at PASSIVE_LEVEL outside any client call: queued the same
//      way, it runs at the next AdvanceBy/AdvanceTo/DrainDpcs.
//    A pass run from a DPC runs inside the executive's time advance, so
//    Process must not wait on the virtual clock there.
#pragma once

#include <host/ks.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace host::ks {

class KsPinObject;

class KsPinProcessor : public std::enable_shared_from_this<KsPinProcessor> {
  public:
    explicit KsPinProcessor(KsPinObject* pin);
    ~KsPinProcessor();
    KsPinProcessor(const KsPinProcessor&) = delete;
    KsPinProcessor& operator=(const KsPinProcessor&) = delete;

    // PASSIVE_LEVEL, once the pin is created: starts the processing thread
    // (real clock) or readies the pass's DPC (virtual clock).
    void Start();
    // PASSIVE_LEVEL, at pin close: no pass runs or starts afterwards.
    void Shutdown();

    // IRQL <= DISPATCH_LEVEL. Asks for a pass (see the file comment).
    void Request();
    // PASSIVE_LEVEL, from KsClientCall: the deferred pass.
    void RunDeferred();

    // The pin's processing mutex; the pin holds it around its own callbacks
    // (SetDeviceState, SetDataFormat) so they never overlap Process.
    void Lock();
    void Unlock();
    bool HeldByCurrentThread() const;

  private:
    static void PassDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
    void Pass();
    void ThreadMain();

    KsPinObject* pin_;                    // owner; outlives the processor's passes
    std::mutex mutex_;                    // the processing mutex
    std::atomic<std::thread::id> owner_;  // its holder, or the default id
    std::atomic<bool> requested_;         // a trigger came since the pass last looked
    std::atomic<bool> started_;           // Start ran
    std::atomic<bool> shutdown_;          // Shutdown ran
    bool virtualClock_;                   // chosen at Start
    KDPC dpc_;                            // virtual clock: the pass queued behind a DPC
    std::mutex wakeMutex_;                // real clock: guards wake_ and stop_
    std::condition_variable wakeCv_;      // real clock: wake_ or stop_ set
    bool wake_;                           // wakeMutex_
    bool stop_;                           // wakeMutex_
    std::thread thread_;                  // real clock: the processing thread
};

}  // namespace host::ks
