// When and where a pin's Process runs.
//
// Process is called at PASSIVE_LEVEL (DISPATCH_LEVEL when the descriptor asks
// for dispatch-level processing), one call at a time under the pin's
// processing mutex, and only while the pin is at or above its minimum
// processing state (RUN with KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, else PAUSE).
// A trigger - a frame arriving at an empty leading edge, the pin entering its
// minimum processing state, KsPinAttemptProcessing - asks for one pass; a
// trigger while processing is not allowed is dropped. In a pass, Process is
// called again at once after STATUS_SUCCESS while a frame is at or ahead of
// the leading edge (st/restarting-processing-in-avstream), and again for a
// trigger that came while it ran (attempt-during-process: rerun-after, or
// ignored); STATUS_PENDING ends the pass until the next trigger, and so does
// a failure (process-error: like-pending; like-success treats it as
// STATUS_SUCCESS). A Process that answers STATUS_SUCCESS kSpinLimit times in
// a row without moving the leading edge would spin a real processor
// forever: the verifier reports it and the pass ends.
//
// The driver's KsPinAcquireProcessingMutex (PASSIVE_LEVEL; not inside
// Process; at most 100 ms of system time, the verifier's AVStream rule) takes
// the same mutex. A trigger while the driver holds it is, by the variant
// attempt-under-processing-mutex, retried at the release (default), dropped,
// or waits for the mutex (the pass blocks on it).
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
#include <cstdint>
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

    // The pin's processing mutex, as the class library takes it (around
    // Process, and around the control callbacks under the serialized
    // variant).
    void Lock();
    void Unlock();
    bool HeldByCurrentThread() const;
    // process-during-state-change=serialized: a control callback waits for
    // the Process call in flight and no pass starts until Unblock (passes
    // asked for meanwhile run then). The processing mutex itself is not held
    // across the callback, so the driver may take it there.
    void BlockPasses();
    void UnblockPasses();
    // The driver's KsPinAcquireProcessingMutex / KsPinReleaseProcessingMutex,
    // with their rules checked; `caller` names the driver's call site.
    void DriverLock(const void* caller);
    void DriverUnlock(const void* caller);
    // Any thread, for tests: threads blocked in DriverLock now.
    int DriverWaiters() const { return driverWaiters_.load(); }

    // Consecutive STATUS_SUCCESS answers without the leading edge moving
    // that the verifier takes for a spin.
    static constexpr int kSpinLimit = 64;

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
    std::atomic<bool> blocked_;           // BlockPasses .. UnblockPasses
    std::atomic<bool> driverHolds_;      // the driver holds the mutex (KsPinAcquireProcessingMutex)
    std::atomic<bool> retryAtRelease_;   // a trigger came while the driver held it
    std::atomic<int> driverWaiters_{0};  // threads blocked in DriverLock
    std::atomic<std::thread::id> inProcess_;  // the thread inside Process, or the default id
    int64_t driverSince_ = 0;                 // system time of the driver's acquire; mutex_
    bool virtualClock_;                       // chosen at Start
    KDPC dpc_;                                // virtual clock: the pass queued behind a DPC
    std::mutex wakeMutex_;                    // real clock: guards wake_ and stop_
    std::condition_variable wakeCv_;          // real clock: wake_ or stop_ set
    bool wake_;                               // wakeMutex_
    bool stop_;                               // wakeMutex_
    std::thread thread_;                      // real clock: the processing thread
};

}  // namespace host::ks
