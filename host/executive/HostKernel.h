// Control surface of the host's kernel executive, for tests, the class library
// model and vcam. The driver never includes this: it sees only the executive's
// documented operations through its platform door.
#pragma once

#include <host/ntddk.h>

#include <cstdint>
#include <vector>
#include <functional>

namespace host {

enum class ClockMode {
    // Time moves only when a test advances it; clock interrupts come every
    // TickInterval() of interrupt time, a timer expires at the first one at
    // or after its due time and its DPC runs then, at DISPATCH_LEVEL, on the
    // advancing thread. A PASSIVE wait on an unsignalled event advances time
    // to the next expiring timer until the event is signalled, so a stop
    // handshake completes in one thread.
    Virtual,
    // System time is the wall clock (100 ns units since 1601), interrupt
    // time the steady clock since boot; timers fire on a timer thread and
    // DPCs run on two DPC threads (two processors) at DISPATCH_LEVEL; waits
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

    // Current system time, exact (KeQuerySystemTime reads it as of the last
    // clock interrupt), and interrupt time (since boot; clock sets leave it).
    static int64_t Now();
    static int64_t InterruptTime();
    // The virtual clock's interrupt interval (variant clock-tick), 100 ns.
    static int64_t TickInterval();

    // Virtual clock only: move time forward by `delta` (or to system time
    // `when`), passing every clock interrupt on the way: at each, the timers
    // due by then expire in due-time order and their DPCs run (time is set to
    // that interrupt's time first).
    static void AdvanceBy(int64_t delta);
    static void AdvanceTo(int64_t when);
    // Virtual clock only: move time forward to system time `when` without
    // running anything (a stall: the processors were busy). Timers due on the
    // way expire and queue their DPCs; they run at the next Advance, drain or
    // wait. Backwards is refused (reported): set the system clock instead.
    static void SetTimeWithoutRunning(int64_t when);
    // Virtual clock only: set the system clock to `when` (back or forward).
    // Interrupt time does not move and nothing runs; absolute due times move
    // with the clock (one now past expires at the next interrupt), relative
    // ones stay.
    static void SetSystemTime(int64_t when);
    // Due time of the earliest armed timer (as system time), or -1.
    static int64_t NextDueTime();
    // Virtual clock: system time of the clock interrupt at which the earliest
    // armed timer expires, or -1.
    static int64_t NextExpiry();
    // Virtual clock: installs who decides whether a second processor runs a
    // one-shot timer's DPC that its running DPC re-armed, at a platform call
    // of the first run that holds no spin lock (the clock moves on to the
    // timer's expiry, within the current Advance or wait). None installed (the
    // default, and at Boot): never. Under one-shot-rearm=never: never.
    static void SetDpcOverlapChooser(std::function<bool()> chooser);
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
