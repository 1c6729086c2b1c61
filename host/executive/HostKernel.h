// Control surface of the host's kernel executive, for tests, the class library
// model and vcam. The driver never includes this: it sees only the executive's
// documented operations through its platform door.
#pragma once

#include <host/ntddk.h>

#include <cstdint>
#include <vector>

namespace host {

enum class ClockMode {
    // System time moves only when a test advances it; a due timer's DPC runs
    // at that moment, at DISPATCH_LEVEL, on the advancing thread. A PASSIVE
    // wait on an unsignalled event advances time to the next due timer until
    // the event is signalled, so a stop handshake completes in one thread.
    Virtual,
    // System time is the wall clock (100 ns units since 1601); timers fire on
    // a timer thread and DPCs run on a DPC thread at DISPATCH_LEVEL; waits
    // really block.
    Real,
};

// How long one DPC routine's runs took, on the real clock (see DpcTiming).
struct DpcRoutineTiming {
    const void* routine;               // the DPC routine's entry
    bool timerDpc;                     // a timer queued it at least once
    uint64_t runs;                     // runs since Boot
    double maxMicroseconds;            // the longest run
    std::vector<double> microseconds;  // each run's duration (the first 2^20 runs)
};

class HostKernel {
  public:
    // Resets the executive (no timers, no queued DPCs, no live lookaside
    // lists; the objects are forgotten, their memory is not touched) and picks
    // the clock. Virtual mode starts at `virtualStart` (100 ns units since
    // 1601). The calling thread is put back to PASSIVE_LEVEL holding no lock.
    // Pool blocks stay tracked. A running real clock is shut down first.
    static void Boot(ClockMode mode, int64_t virtualStart = kDefaultVirtualStart);
    // Stops the real clock's threads; cancels nothing the driver armed (the
    // verifier reports timers still set at unload).
    static void Shutdown();
    static ClockMode Mode();

    // Current system time, as KeQuerySystemTime returns it.
    static int64_t Now();

    // Virtual clock only: move time forward by `delta` (or to `when`), running
    // every DPC that falls due on the way in due-time order, each at the time
    // it is due (time is set to the due time before its DPC runs).
    static void AdvanceBy(int64_t delta);
    static void AdvanceTo(int64_t when);
    // Virtual clock only: set the clock without running anything (a clock set
    // forward or back); due DPCs run at the next Advance.
    static void SetTimeWithoutRunning(int64_t when);
    // Due time of the earliest armed timer, or -1.
    static int64_t NextDueTime();
    // Runs DPCs queued with KeInsertQueueDpc or by a timer set for a time
    // already past (virtual: on this thread now; real: waits until the DPC
    // thread has drained them). In virtual mode queued DPCs also run at the
    // start of every Advance and during a PASSIVE wait.
    static void DrainDpcs();

    // Real clock only: waits until no DPC is queued or running.
    static void WaitForDpcIdle();

    // Any thread: the duration of every DPC routine run since Boot, per
    // routine, measured on the real clock in either mode.
    static std::vector<DpcRoutineTiming> DpcRoutineTimings();

    static constexpr int64_t kDefaultVirtualStart = 133000000000000000LL;  // late 2022
};

// Sets the calling thread's IRQL for the scope (tests use it to call code
// "from a DPC"); restores on exit.
class ScopedIrql {
  public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

  private:
    KIRQL old_;
};

}  // namespace host
