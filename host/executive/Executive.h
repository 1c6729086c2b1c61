// The host's kernel executive core: the system clock (virtual or real), the
// timer queue, the DPC queue, events and the registry of live lookaside
// lists. The exported Ke/Ex routines are thin wrappers over this class.
//
// Locking: one mutex (mutex_) guards the timer set, the DPC queue, every
// KEVENT's signal state, the lookaside registry and the runner token; the
// clock mode and the virtual time are atomics, read at any IRQL. It is a leaf
// with respect to driver code: no DPC routine or other driver code runs while
// it is held. DPC routines run with no executive lock held: in real mode on
// two DPC threads (two processors); in virtual mode on the thread that
// advances time, drains or waits, which holds the runner token meanwhile. The
// token is not a mutex: the thread holding it may take it again (class-library
// code that runs passive work from a DPC may wait), and lock-order checkers
// see no executive lock around driver code.
//
// Two clocks: interrupt time (100 ns units since boot; never set) and system
// time (UTC since 1601), which a clock set moves against interrupt time. On
// the virtual clock, clock interrupts come every tick (variant clock-tick) of
// interrupt time; timers expire only at them, and KeQuerySystemTime and
// KeQueryInterruptTime read the values of the last one. An absolute timer's
// due time is system time (a clock set moves it); a relative one's is the
// interrupt time of the last tick plus its interval (a clock set leaves it).
#pragma once

#include <host/executive/HostKernel.h>
#include <host/ntddk.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace host {

class Executive {
  public:
    static Executive& Instance();

    // Object marks: an initialised object carries its kind's magic.
    static constexpr ULONG kDpcMagic = 0x44504321;        // "!CPD"
    static constexpr ULONG kTimerMagic = 0x524D5421;      // "!TMR"
    static constexpr ULONG kEventMagic = 0x4E564521;      // "!EVN"
    static constexpr ULONG kLookasideMagic = 0x4B4F4C21;  // "!LOK"
    static constexpr ULONG kDeletedMagic = 0x44454C21;    // "!LED": deleted lookaside

    // ---- clock control (HostKernel) ----
    void Boot(ClockMode mode, int64_t virtualStart);
    void Shutdown();
    ClockMode Mode();
    // Precise system time and interrupt time (the test's view).
    int64_t Now();
    int64_t InterruptNow();
    // As the driver reads them: as of the last clock interrupt (virtual).
    int64_t QuerySystemTime();
    int64_t QueryInterruptTime();
    // The clock interrupt interval of the virtual clock (variant clock-tick).
    int64_t TickInterval();
    void AdvanceTo(int64_t when, const void* caller);
    void AdvanceBy(int64_t delta, const void* caller);
    void SetTimeWithoutRunning(int64_t when, const void* caller);
    void SetSystemTime(int64_t when, const void* caller);
    int64_t NextDueTime();
    int64_t NextExpiry();
    // Virtual clock: who decides, at a point where a DPC run that re-armed
    // its own timer makes a platform call holding no spin lock, whether a
    // second processor runs the re-armed DPC there (see DpcCallPoint).
    void SetDpcOverlapChooser(std::function<bool()> chooser);
    // Called by the executive's routines a DPC may call, after their work.
    void DpcCallPoint();
    void DrainDpcs(const void* caller);
    void WaitForDpcIdle(const void* caller);

    // ---- DPCs and timers ----
    void InitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, const void* caller);
    BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2, const void* caller);
    BOOLEAN RemoveQueueDpc(PRKDPC dpc, const void* caller);
    void InitializeTimer(PKTIMER timer, const void* caller);
    BOOLEAN SetTimer(PKTIMER timer, LONGLONG dueTime, PKDPC dpc, const void* caller);
    BOOLEAN CancelTimer(PKTIMER timer, const void* caller);

    // ---- events ----
    void InitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
    LONG SetEvent(PRKEVENT event, const void* caller);
    void ClearEvent(PRKEVENT event, const void* caller);
    LONG ReadStateEvent(PRKEVENT event, const void* caller);
    NTSTATUS WaitForEvent(PRKEVENT event, PLARGE_INTEGER timeout, const void* caller);

    // ---- lookaside registry ----
    // Registers a live list; false if it was already live (initialised twice).
    bool RegisterLookaside(const void* list, ULONG tag);
    // Unregisters; false if it was not live.
    bool UnregisterLookaside(const void* list);
    bool IsLookasideLive(const void* list);
    // Entry bookkeeping: which live list handed an entry out.
    void NoteLookasideEntry(const void* entry, const void* list);
    // Forgets the entry; returns the list it came from, or nullptr.
    const void* TakeLookasideEntry(const void* entry);
    // A live list with `tag` (nullptr if none); *count: how many live lists
    // carry that tag. The default routines of an inline-allocating list know
    // only the tag.
    const void* FindLookaside(ULONG tag, size_t* count);
    // Entries noted for `list` and not yet taken back.
    size_t CountLookasideEntries(const void* list);

    // ---- verifier hooks ----
    // [begin, begin + size) is about to be freed: reports (and disarms) an
    // armed timer, a queued DPC, a timer whose DPC lives there, or a live
    // lookaside list inside it, so nothing runs on freed memory later.
    void CheckFreedRange(const void* begin, size_t size, const void* caller);
    // Unload checks: timers still set, DPCs still queued, lists not deleted.
    void CheckUnload();

  private:
    void StopClockThreads();
    Executive() = default;

    using TimerKey = std::tuple<int64_t, uint64_t, PKTIMER>;  // due, sequence, timer
    struct ArmedTimer {
        TimerKey key;
        bool absolute;               // key's due is system time (else interrupt time)
        PKDPC dpc;                   // queued when the timer expires
        PKDEFERRED_ROUTINE routine;  // the DPC's routine when armed (for reports)
    };

    int64_t NowLocked();
    // System time minus interrupt time now (moves with clock sets).
    int64_t SystemBase();
    int64_t FloorTick(int64_t interrupt);
    // The interrupt time of the clock interrupt at which something due at
    // `dueInterrupt` expires: the first tick at or after it, and never one
    // already past (a past due time expires at the next tick).
    int64_t FireTickLocked(int64_t dueInterrupt);
    // The armed timer that expires first (least due interrupt time, then
    // arming order); false if none.
    bool EarliestLocked(PKTIMER* timer, int64_t* dueInterrupt);
    // Virtual clock: the tick at which the earliest timer expires, or -1.
    int64_t NextFireTickLocked();
    // Expires every timer due at or before interrupt time `tick`.
    void ExpireDueLocked(int64_t tick);
    void EraseArmedLocked(PKTIMER timer);
    // Moves virtual time to `amount`, or by `amount` when `relative`.
    void Advance(int64_t amount, bool relative, const void* caller);
    bool CheckMagic(ULONG magic, ULONG expected, const char* what, const void* object,
                    const void* caller);
    bool DisarmLocked(PKTIMER timer);
    // Queues the DPC if it is not queued yet; true if it was queued now.
    bool QueueDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2);
    // Removes the earliest timer and queues its DPC.
    void FireFirstTimerLocked();
    // The queued DPC to run next on this processor (under one-shot-rearm
    // `never`, none whose routine is running elsewhere); dpcQueue_.end() if none.
    std::deque<PKDPC>::iterator PickDpcLocked();
    // Runs one queued DPC, if any; called with `lock` held, returns with it
    // held, and drops it while the routine runs. True if one ran.
    bool RunOneDpc(std::unique_lock<std::mutex>& lock);
    // Virtual mode: runs every queued DPC (with the runner token held).
    void RunQueuedDpcs(std::unique_lock<std::mutex>& lock);
    // Virtual mode: takes the runner token (waiting while another thread
    // holds it) / gives it back. Called with `lock` held.
    void EnterRunner(std::unique_lock<std::mutex>& lock);
    void LeaveRunner();
    class RunnerScope;
    void TimerThread();
    void DpcThread();
    NTSTATUS WaitVirtual(PRKEVENT event, bool hasDeadline, int64_t deadline, const void* caller);
    NTSTATUS WaitReal(PRKEVENT event, bool hasDeadline, int64_t deadline);
    bool TryConsumeLocked(PRKEVENT event);

    std::mutex mutex_;                  // see the file comment
    std::condition_variable eventCv_;   // an event was signalled (real-mode waits)
    std::condition_variable timerCv_;   // the timer set changed, or stopping (timer thread)
    std::condition_variable dpcCv_;     // a DPC was queued, or stopping (DPC thread)
    std::condition_variable idleCv_;    // a DPC finished running (WaitForDpcIdle)
    std::condition_variable runnerCv_;  // the runner token was given back

    std::atomic<ClockMode> mode_{ClockMode::Virtual};  // written by Boot only
    std::atomic<int64_t> interruptNow_{0};             // virtual interrupt time, precise
    std::atomic<int64_t> systemBase_{
        HostKernel::kDefaultVirtualStart};  // virtual: system - interrupt
    int64_t realBootSteady_ = 0;            // real clock: steady clock at boot (100 ns); Boot
    std::set<TimerKey> absoluteTimers_;     // armed absolute timers by system due time; mutex_
    std::set<TimerKey> relativeTimers_;     // armed relative timers by interrupt due time; mutex_
    std::unordered_map<PKTIMER, ArmedTimer> armed_;  // armed timer -> its record; mutex_
    std::deque<PKDPC> dpcQueue_;                     // queued DPCs in order; mutex_
    std::unordered_set<PKDPC> queued_;               // members of dpcQueue_; mutex_
    int dpcsRunning_ = 0;                            // DPC routines running now; mutex_
    std::unordered_multiset<PKDPC> runningDpcs_;     // DPC objects whose routine runs; mutex_
    int64_t overlapLimit_ = -1;  // virtual: latest tick the runner may reach now; mutex_
    int overlapDepth_ = 0;       // virtual: a second processor's run is under way; mutex_
    std::function<bool()> overlapChooser_;     // see SetDpcOverlapChooser; mutex_
    std::thread::id runner_;                   // holder of the runner token; mutex_
    int runnerDepth_ = 0;                      // its nesting; mutex_
    uint64_t sequence_ = 0;                    // orders timers with equal due times; mutex_
    std::map<const void*, ULONG> lookasides_;  // live lookaside lists -> tag; mutex_
    std::unordered_map<const void*, const void*> lookasideEntries_;  // entry -> list; mutex_
    bool stopping_ = false;      // real-mode threads must exit; mutex_
    std::thread timerThread_;    // real mode only; Boot/Shutdown
    std::thread dpcThreads_[2];  // real mode only: two processors; Boot/Shutdown
    std::mutex lifecycleMutex_;  // serialises Boot and Shutdown
};

}  // namespace host
