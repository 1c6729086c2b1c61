#include "host/loader/ImageBoundary.h"
#include "host/executive/Executive.h"

#include <host/verifier/Verifier.h>

#include "host/executive/DpcTiming.h"
#include "host/executive/ThreadState.h"
#include "host/variants/Variants.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/LockOrderGraph.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <climits>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace host {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01 (UTC).
constexpr int64_t kUnixEpochIn1601 = 116444736000000000LL;

// Steady time in 100 ns units (the real clock's interrupt time source).
int64_t SteadyNow() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

// The DPC run the calling thread is inside (virtual clock), for the overlap
// of a re-armed one-shot timer's DPC: which DPC, the timer it re-armed
// during this run (if any), and the locks held when it started.
struct DpcRunRecord {
    PKDPC dpc = nullptr;
    PKTIMER rearmed = nullptr;
    size_t locksAtStart = 0;
};
thread_local DpcRunRecord* tCurrentRun = nullptr;

int64_t WallClockNow() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100 +
           kUnixEpochIn1601;
}

// now - relative for a negative (relative) due time, saturating.
int64_t AbsoluteDueTime(int64_t now, int64_t dueTime) {
    if (dueTime >= 0) {
        return dueTime;
    }
    int64_t absolute;
    if (__builtin_sub_overflow(now, dueTime, &absolute)) {
        return INT64_MAX;
    }
    return absolute;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::string RoutineName(const void* routine) {
    return CallSite::Format(static_cast<const char*>(routine) + 1);
}

}  // namespace

// Holds the runner token for a scope; constructed and destroyed with the
// state lock held.
class Executive::RunnerScope {
  public:
    RunnerScope(Executive& executive, std::unique_lock<std::mutex>& lock) : executive_(executive) {
        executive_.EnterRunner(lock);
    }
    ~RunnerScope() { executive_.LeaveRunner(); }
    RunnerScope(const RunnerScope&) = delete;
    RunnerScope& operator=(const RunnerScope&) = delete;

  private:
    Executive& executive_;
};

void Executive::EnterRunner(std::unique_lock<std::mutex>& lock) {
    std::thread::id me = std::this_thread::get_id();
    runnerCv_.wait(lock, [&] { return runnerDepth_ == 0 || runner_ == me; });
    runner_ = me;
    ++runnerDepth_;
}

void Executive::LeaveRunner() {
    if (--runnerDepth_ == 0) {
        runner_ = std::thread::id();
        runnerCv_.notify_all();
    }
}

Executive& Executive::Instance() {
    static Executive* instance = new Executive();  // never destroyed: threads may outlive statics
    return *instance;
}

// ---------------------------------------------------------------- clock control

void Executive::Boot(ClockMode mode, int64_t virtualStart) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    ThreadState::ResetCurrentThread();
    StopClockThreads();
    {
        // The objects named here may be long gone (a previous test's stack):
        // forget them without touching their memory.
        std::lock_guard<std::mutex> lock(mutex_);
        absoluteTimers_.clear();
        relativeTimers_.clear();
        armed_.clear();
        runningDpcs_.clear();
        overlapLimit_ = -1;
        overlapDepth_ = 0;
        overlapChooser_ = nullptr;
        dpcQueue_.clear();
        queued_.clear();
        lookasides_.clear();
        lookasideEntries_.clear();
        sequence_ = 0;
        stopping_ = false;
        mode_.store(mode);
        interruptNow_.store(0);
        systemBase_.store(virtualStart);
        realBootSteady_ = SteadyNow();
    }
    if (mode == ClockMode::Real) {
        timerThread_ = std::thread([this] { TimerThread(); });
        for (auto& thread : dpcThreads_) {
            thread = std::thread([this] { DpcThread(); });
        }
    }
}

void Executive::Shutdown() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    StopClockThreads();
}

// Caller holds lifecycleMutex_. Wakes the real clock's threads and joins them.
void Executive::StopClockThreads() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        timerCv_.notify_all();
        dpcCv_.notify_all();
        idleCv_.notify_all();
    }
    if (timerThread_.joinable()) {
        timerThread_.join();
    }
    for (auto& thread : dpcThreads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

ClockMode Executive::Mode() {
    return mode_.load();
}

int64_t Executive::Now() {
    return mode_.load() == ClockMode::Virtual ? systemBase_.load() + interruptNow_.load()
                                              : WallClockNow();
}

int64_t Executive::InterruptNow() {
    return mode_.load() == ClockMode::Virtual ? interruptNow_.load()
                                              : SteadyNow() - realBootSteady_;
}

int64_t Executive::SystemBase() {
    return mode_.load() == ClockMode::Virtual ? systemBase_.load()
                                              : WallClockNow() - (SteadyNow() - realBootSteady_);
}

int64_t Executive::TickInterval() {
    const VariantInfo& info = Variants::Info(Variant::ClockTick);
    int64_t tick = std::atoll(info.options[Variants::Get(Variant::ClockTick)]);
    return tick > 0 ? tick : 156250;
}

int64_t Executive::FloorTick(int64_t interrupt) {
    if (mode_.load() != ClockMode::Virtual) {
        return interrupt;
    }
    int64_t tick = TickInterval();
    int64_t rest = interrupt % tick;
    return interrupt - (rest < 0 ? rest + tick : rest);
}

int64_t Executive::QuerySystemTime() {
    if (mode_.load() != ClockMode::Virtual) {
        return WallClockNow();
    }
    return systemBase_.load() + FloorTick(interruptNow_.load());
}

int64_t Executive::QueryInterruptTime() {
    return FloorTick(InterruptNow());
}

int64_t Executive::NowLocked() {
    return Now();
}

int64_t Executive::FireTickLocked(int64_t dueInterrupt) {
    int64_t next = FloorTick(interruptNow_.load()) + TickInterval();
    if (dueInterrupt <= next) {
        return next;
    }
    int64_t tick = TickInterval();
    int64_t rest = dueInterrupt % tick;
    if (rest == 0) {
        return dueInterrupt;
    }
    int64_t up;
    if (__builtin_add_overflow(dueInterrupt, tick - rest, &up)) {
        return INT64_MAX;
    }
    return up;
}

bool Executive::EarliestLocked(PKTIMER* timer, int64_t* dueInterrupt) {
    bool found = false;
    uint64_t sequence = 0;
    if (!relativeTimers_.empty()) {
        const TimerKey& key = *relativeTimers_.begin();
        *dueInterrupt = std::get<0>(key);
        sequence = std::get<1>(key);
        *timer = std::get<2>(key);
        found = true;
    }
    if (!absoluteTimers_.empty()) {
        const TimerKey& key = *absoluteTimers_.begin();
        int64_t due;
        if (__builtin_sub_overflow(std::get<0>(key), SystemBase(), &due)) {
            due = std::get<0>(key) < 0 ? INT64_MIN : INT64_MAX;
        }
        if (!found || due < *dueInterrupt ||
            (due == *dueInterrupt && std::get<1>(key) < sequence)) {
            *dueInterrupt = due;
            *timer = std::get<2>(key);
            found = true;
        }
    }
    return found;
}

int64_t Executive::NextFireTickLocked() {
    PKTIMER timer;
    int64_t due;
    return EarliestLocked(&timer, &due) ? FireTickLocked(due) : -1;
}

void Executive::ExpireDueLocked(int64_t tick) {
    PKTIMER timer;
    int64_t due;
    while (EarliestLocked(&timer, &due) && due <= tick) {
        FireFirstTimerLocked();
    }
}

void Executive::AdvanceTo(int64_t when, const void* caller) {
    Advance(when, false, caller);
}

void Executive::AdvanceBy(int64_t delta, const void* caller) {
    Advance(delta, true, caller);
}

void Executive::Advance(int64_t amount, bool relative, const void* caller) {
    if (mode_.load() != ClockMode::Virtual) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "virtual time advanced while the real clock runs");
        return;
    }
    if (ThreadState::Irql() >= DISPATCH_LEVEL) {
        Verifier::Report(Rule::IrqlTooHigh, CallSite::Format(caller).c_str(),
                         "virtual time advanced at DISPATCH_LEVEL or above, where no DPC can run");
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    RunnerScope runner(*this, lock);
    // A relative target counts from the time when this thread gets to run:
    // another thread may have advanced meanwhile. An absolute one is system
    // time: the interrupt time at which the system clock reads it.
    int64_t when = relative ? interruptNow_.load() + amount : amount - systemBase_.load();
    if (when < interruptNow_.load()) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         Format("virtual time advanced backwards, by %lld",
                                static_cast<long long>(interruptNow_.load() - when)));
        when = interruptNow_.load();
    }
    const int64_t savedLimit = overlapLimit_;
    overlapLimit_ = when;
    RunQueuedDpcs(lock);
    for (;;) {
        int64_t tick = NextFireTickLocked();
        if (tick < 0 || tick > when) {
            break;
        }
        if (tick > interruptNow_.load()) {
            interruptNow_.store(tick);
        }
        ExpireDueLocked(tick);
        RunQueuedDpcs(lock);
    }
    if (when > interruptNow_.load()) {
        interruptNow_.store(when);
    }
    overlapLimit_ = savedLimit;
}

void Executive::SetTimeWithoutRunning(int64_t when, const void* caller) {
    if (mode_.load() != ClockMode::Virtual) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "virtual time set while the real clock runs");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t target = when - systemBase_.load();
    if (target < interruptNow_.load()) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "virtual time moved backwards without running: interrupt time never "
                         "goes back (set the system clock instead)");
        return;
    }
    // A stall: the clock interrupts on the way still expire timers and queue
    // their DPCs, but nothing runs until the next Advance, drain or wait.
    for (;;) {
        int64_t tick = NextFireTickLocked();
        if (tick < 0 || tick > target) {
            break;
        }
        interruptNow_.store(tick);
        ExpireDueLocked(tick);
    }
    interruptNow_.store(target);
}

void Executive::SetSystemTime(int64_t when, const void* caller) {
    if (mode_.load() != ClockMode::Virtual) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "system clock set while the real clock runs");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Absolute due times are system time: they move with the clock (one now
    // past expires at the next tick); relative ones stay where they are.
    systemBase_.store(when - interruptNow_.load());
    timerCv_.notify_all();
}

int64_t Executive::NextDueTime() {
    std::lock_guard<std::mutex> lock(mutex_);
    PKTIMER timer;
    int64_t due;
    if (!EarliestLocked(&timer, &due)) {
        return -1;
    }
    const ArmedTimer& armed = armed_[timer];
    int64_t system = std::get<0>(armed.key);
    if (!armed.absolute && __builtin_add_overflow(system, SystemBase(), &system)) {
        system = INT64_MAX;
    }
    return system;
}

int64_t Executive::NextExpiry() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_.load() != ClockMode::Virtual) {
        return -1;
    }
    int64_t tick = NextFireTickLocked();
    return tick < 0 ? -1 : tick + systemBase_.load();
}

void Executive::SetDpcOverlapChooser(std::function<bool()> chooser) {
    std::lock_guard<std::mutex> lock(mutex_);
    overlapChooser_ = std::move(chooser);
}

// Virtual clock. Models a second processor: a DPC run that re-armed its own
// one-shot timer is at a platform call, holding no spin lock; if the chooser
// says so, the clock moves on to the tick at which the timer expires (within
// the runner's target) and the re-armed DPC runs there, nested, while the
// first run is still to finish. One overlap per run, two processors deep.
void Executive::DpcCallPoint() {
    DpcRunRecord* run = tCurrentRun;
    if (run == nullptr || run->rearmed == nullptr || mode_.load() != ClockMode::Virtual ||
        !Variants::Is(Variant::OneShotRearm, "overlap") ||
        LockOrderGraph::Instance().HeldCount() != run->locksAtStart) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (overlapDepth_ != 0 || !overlapChooser_ || runner_ != std::this_thread::get_id()) {
        return;
    }
    PKTIMER timer = run->rearmed;
    run->rearmed = nullptr;
    auto it = armed_.find(timer);
    if (it == armed_.end()) {
        return;
    }
    int64_t due = it->second.absolute ? std::get<0>(it->second.key) - systemBase_.load()
                                      : std::get<0>(it->second.key);
    int64_t tick = FireTickLocked(due);
    if (tick > overlapLimit_) {
        return;
    }
    std::function<bool()> chooser = overlapChooser_;
    ++overlapDepth_;
    lock.unlock();
    bool overlap = chooser();
    lock.lock();
    if (overlap && armed_.count(timer) != 0) {
        if (tick > interruptNow_.load()) {
            interruptNow_.store(tick);
        }
        ExpireDueLocked(tick);
        RunQueuedDpcs(lock);
    }
    --overlapDepth_;
}

void Executive::DrainDpcs(const void* caller) {
    if (mode_.load() == ClockMode::Real) {
        WaitForDpcIdle(caller);
        return;
    }
    if (ThreadState::Irql() >= DISPATCH_LEVEL) {
        Verifier::Report(Rule::IrqlTooHigh, CallSite::Format(caller).c_str(),
                         "DPCs drained at DISPATCH_LEVEL or above, where no DPC can run");
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    RunnerScope runner(*this, lock);
    RunQueuedDpcs(lock);
}

void Executive::WaitForDpcIdle(const void* caller) {
    if (mode_.load() == ClockMode::Virtual) {
        DrainDpcs(caller);
        return;
    }
    if (ThreadState::InDpc()) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "a DPC waits for the DPC queue to go idle (it would wait for itself)");
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    idleCv_.wait(lock, [this] { return stopping_ || (dpcQueue_.empty() && dpcsRunning_ == 0); });
}

// ------------------------------------------------------------- DPCs and timers

bool Executive::CheckMagic(ULONG magic, ULONG expected, const char* what, const void* object,
                           const void* caller) {
    if (magic == expected) {
        return true;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s @%p used before its initialisation (mark 0x%08x)", what,
                  object, static_cast<unsigned>(magic));
    Verifier::Report(Rule::UninitializedObject, CallSite::Format(caller).c_str(), text);
    return false;
}

void Executive::InitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context,
                              const void* caller) {
    bool wasQueued = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_.erase(dpc) != 0) {
            wasQueued = true;
            for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it) {
                if (*it == dpc) {
                    dpcQueue_.erase(it);
                    break;
                }
            }
        }
        dpc->Magic = kDpcMagic;
        dpc->Inserted = 0;
        dpc->DeferredRoutine = routine;
        dpc->DeferredContext = context;
        dpc->SystemArgument1 = nullptr;
        dpc->SystemArgument2 = nullptr;
        InitializeListHead(&dpc->DpcListEntry);
    }
    if (wasQueued) {
        Verifier::Report(
            Rule::Other, CallSite::Format(caller).c_str(),
            Format("KDPC @%p initialised again while queued", static_cast<void*>(dpc)));
    }
}

bool Executive::QueueDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2) {
    if (!queued_.insert(dpc).second) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->Inserted = 1;
    dpcQueue_.push_back(dpc);
    dpcCv_.notify_all();
    return true;
}

BOOLEAN Executive::InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2,
                                  const void* caller) {
    if (!CheckMagic(dpc->Magic, kDpcMagic, "KDPC", dpc, caller)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return QueueDpcLocked(dpc, argument1, argument2) ? TRUE : FALSE;
}

BOOLEAN Executive::RemoveQueueDpc(PRKDPC dpc, const void* caller) {
    if (!CheckMagic(dpc->Magic, kDpcMagic, "KDPC", dpc, caller)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.erase(dpc) == 0) {
        return FALSE;
    }
    for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it) {
        if (*it == dpc) {
            dpcQueue_.erase(it);
            break;
        }
    }
    dpc->Inserted = 0;
    return TRUE;
}

void Executive::InitializeTimer(PKTIMER timer, const void* caller) {
    bool wasArmed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wasArmed = DisarmLocked(timer);
        timer->Magic = kTimerMagic;
        timer->Inserted = 0;
        timer->DueTime = 0;
        timer->Dpc = nullptr;
        timer->Sequence = 0;
        InitializeListHead(&timer->TimerListEntry);
    }
    if (wasArmed) {
        Verifier::Report(
            Rule::Other, CallSite::Format(caller).c_str(),
            Format("KTIMER @%p initialised again while set", static_cast<void*>(timer)));
    }
}

void Executive::EraseArmedLocked(PKTIMER timer) {
    auto it = armed_.find(timer);
    if (it == armed_.end()) {
        return;
    }
    (it->second.absolute ? absoluteTimers_ : relativeTimers_).erase(it->second.key);
    armed_.erase(it);
}

bool Executive::DisarmLocked(PKTIMER timer) {
    if (armed_.count(timer) == 0) {
        return false;
    }
    EraseArmedLocked(timer);
    timer->Inserted = 0;
    return true;
}

BOOLEAN Executive::SetTimer(PKTIMER timer, LONGLONG dueTime, PKDPC dpc, const void* caller) {
    if (!CheckMagic(timer->Magic, kTimerMagic, "KTIMER", timer, caller)) {
        return FALSE;
    }
    if (dpc != nullptr && !CheckMagic(dpc->Magic, kDpcMagic, "KDPC", dpc, caller)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Negative: an interval counted from the interrupt time of the last
    // tick (so it may expire up to a tick early); otherwise a system time.
    const bool absolute = dueTime >= 0;
    int64_t due = absolute ? dueTime : AbsoluteDueTime(QueryInterruptTime(), dueTime);
    bool wasSet = DisarmLocked(timer);
    // The system time it falls due at, for a look in a debugger: saturated, as
    // a relative time by the whole range never falls due.
    int64_t systemDue = due;
    if (!absolute && __builtin_add_overflow(due, SystemBase(), &systemDue)) {
        systemDue = INT64_MAX;
    }
    timer->DueTime = systemDue;
    timer->Dpc = dpc;
    TimerKey key{due, ++sequence_, timer};
    timer->Sequence = std::get<1>(key);
    timer->Inserted = 1;
    (absolute ? absoluteTimers_ : relativeTimers_).insert(key);
    armed_[timer] = ArmedTimer{key, absolute, dpc, dpc != nullptr ? dpc->DeferredRoutine : nullptr};
    if (tCurrentRun != nullptr && dpc != nullptr && tCurrentRun->dpc == dpc) {
        tCurrentRun->rearmed = timer;  // re-armed inside its own DPC
    }
    timerCv_.notify_all();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN Executive::CancelTimer(PKTIMER timer, const void* caller) {
    if (!CheckMagic(timer->Magic, kTimerMagic, "KTIMER", timer, caller)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return DisarmLocked(timer) ? TRUE : FALSE;
}

void Executive::FireFirstTimerLocked() {
    PKTIMER timer;
    int64_t due;
    if (!EarliestLocked(&timer, &due)) {
        return;
    }
    auto it = armed_.find(timer);
    PKDPC dpc = it->second.dpc;
    EraseArmedLocked(timer);
    timer->Inserted = 0;
    if (dpc != nullptr) {
        DpcTiming::NoteTimerRoutine(reinterpret_cast<const void*>(dpc->DeferredRoutine));
        QueueDpcLocked(dpc, nullptr, nullptr);
    }
}

std::deque<PKDPC>::iterator Executive::PickDpcLocked() {
    if (!Variants::Is(Variant::OneShotRearm, "never")) {
        return dpcQueue_.begin();
    }
    for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it) {
        if (runningDpcs_.count(*it) == 0) {
            return it;
        }
    }
    return dpcQueue_.end();
}

bool Executive::RunOneDpc(std::unique_lock<std::mutex>& lock) {
    auto picked = PickDpcLocked();
    if (picked == dpcQueue_.end()) {
        return false;
    }
    PKDPC dpc = *picked;
    dpcQueue_.erase(picked);
    queued_.erase(dpc);
    runningDpcs_.insert(dpc);
    dpc->Inserted = 0;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    ++dpcsRunning_;
    lock.unlock();

    KIRQL oldIrql = ThreadState::Irql();
    bool oldInDpc = ThreadState::InDpc();
    size_t locksBefore = LockOrderGraph::Instance().HeldCount();
    ThreadState::SetIrql(DISPATCH_LEVEL);
    ThreadState::SetInDpc(true);
    DpcRunRecord record;
    record.dpc = dpc;
    record.locksAtStart = locksBefore;
    DpcRunRecord* outerRun = tCurrentRun;
    tCurrentRun = &record;
    if (routine != nullptr) {
        DpcTiming::Run timing(reinterpret_cast<const void*>(routine));
        CallDriver(routine, dpc, context, argument1, argument2);
    }
    tCurrentRun = outerRun;
    KIRQL after = ThreadState::Irql();
    size_t locksAfter = LockOrderGraph::Instance().HeldCount();
    ThreadState::SetIrql(oldIrql);
    ThreadState::SetInDpc(oldInDpc);
    if (after != DISPATCH_LEVEL) {
        Verifier::Report(
            Rule::Other, RoutineName(reinterpret_cast<const void*>(routine)).c_str(),
            Format("DPC routine returned at IRQL %d instead of DISPATCH_LEVEL", after));
    }
    if (locksAfter != locksBefore) {
        Verifier::Report(Rule::Other, RoutineName(reinterpret_cast<const void*>(routine)).c_str(),
                         "DPC routine returned with a lock still held");
    }

    lock.lock();
    --dpcsRunning_;
    runningDpcs_.erase(runningDpcs_.find(dpc));
    idleCv_.notify_all();
    dpcCv_.notify_all();
    return true;
}

void Executive::RunQueuedDpcs(std::unique_lock<std::mutex>& lock) {
    while (RunOneDpc(lock)) {
    }
}

void Executive::TimerThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        PKTIMER timer;
        int64_t due;
        if (!EarliestLocked(&timer, &due)) {
            timerCv_.wait(lock);
            continue;
        }
        int64_t ahead = due - InterruptNow();
        if (ahead <= 0) {
            FireFirstTimerLocked();
            continue;
        }
        // At most a second at a time: a system clock set on the host moves
        // absolute due times, which are looked at again then.
        constexpr int64_t kSecond = 10000000;
        timerCv_.wait_for(lock, std::chrono::nanoseconds(std::min(ahead, kSecond) * 100));
    }
}

// One per processor: runs queued DPCs, two at a time at most.
void Executive::DpcThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!RunOneDpc(lock)) {
            dpcCv_.wait(lock);
        }
    }
}

// ---------------------------------------------------------------------- events

void Executive::InitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> lock(mutex_);
    event->Magic = kEventMagic;
    event->Type = type;
    event->SignalState = state ? 1 : 0;
}

LONG Executive::SetEvent(PRKEVENT event, const void* caller) {
    if (!CheckMagic(event->Magic, kEventMagic, "KEVENT", event, caller)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    LONG previous = event->SignalState;
    event->SignalState = 1;
    eventCv_.notify_all();
    return previous;
}

void Executive::ClearEvent(PRKEVENT event, const void* caller) {
    if (!CheckMagic(event->Magic, kEventMagic, "KEVENT", event, caller)) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    event->SignalState = 0;
}

LONG Executive::ReadStateEvent(PRKEVENT event, const void* caller) {
    if (!CheckMagic(event->Magic, kEventMagic, "KEVENT", event, caller)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return event->SignalState;
}

bool Executive::TryConsumeLocked(PRKEVENT event) {
    if (event->SignalState == 0) {
        return false;
    }
    if (event->Type == SynchronizationEvent) {
        event->SignalState = 0;  // auto-reset: one waiter is released
    }
    return true;
}

NTSTATUS Executive::WaitForEvent(PRKEVENT event, PLARGE_INTEGER timeout, const void* caller) {
    if (!CheckMagic(event->Magic, kEventMagic, "KEVENT", event, caller)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The deadline in interrupt time: a relative time-out counts from the
    // last tick, an absolute one is the system time's interrupt time now.
    bool hasDeadline = timeout != nullptr;
    int64_t deadline = 0;
    if (hasDeadline) {
        deadline = timeout->QuadPart < 0 ? AbsoluteDueTime(QueryInterruptTime(), timeout->QuadPart)
                                         : timeout->QuadPart - SystemBase();
    }
    if (hasDeadline && timeout->QuadPart == 0) {
        // A zero time-out only tests the state; allowed up to DISPATCH_LEVEL.
        std::lock_guard<std::mutex> lock(mutex_);
        return TryConsumeLocked(event) ? STATUS_SUCCESS : static_cast<NTSTATUS>(0x00000102L);
    }
    return mode_.load() == ClockMode::Virtual ? WaitVirtual(event, hasDeadline, deadline, caller)
                                              : WaitReal(event, hasDeadline, deadline);
}

NTSTATUS Executive::WaitVirtual(PRKEVENT event, bool hasDeadline, int64_t deadline,
                                const void* caller) {
    const NTSTATUS timedOut = static_cast<NTSTATUS>(0x00000102L);  // STATUS_TIMEOUT
    std::unique_lock<std::mutex> lock(mutex_);
    RunnerScope runner(*this, lock);
    // The time-out is a timer too: it expires at a clock interrupt.
    const int64_t deadlineTick = hasDeadline ? FireTickLocked(deadline) : INT64_MAX;
    const int64_t savedLimit = overlapLimit_;
    overlapLimit_ = deadlineTick;
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        if (TryConsumeLocked(event)) {
            status = STATUS_SUCCESS;
            break;
        }
        if (RunOneDpc(lock)) {
            continue;
        }
        int64_t now = interruptNow_.load();
        if (hasDeadline && deadlineTick <= now) {
            status = timedOut;
            break;
        }
        int64_t tick = NextFireTickLocked();
        if (tick >= 0 && tick <= deadlineTick) {
            if (tick > now) {
                interruptNow_.store(tick);
            }
            ExpireDueLocked(tick);
            continue;
        }
        if (hasDeadline) {
            interruptNow_.store(deadlineTick);
            status = timedOut;
            break;
        }
        // Reported with the state lock held: the runner token is given back
        // under it when this scope ends (the verifier's lock is a leaf).
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         Format("wait would block forever: KEVENT @%p is not signalled and no "
                                "timer is set to signal it",
                                static_cast<void*>(event)));
        status = STATUS_UNSUCCESSFUL;
        break;
    }
    overlapLimit_ = savedLimit;
    return status;
}

NTSTATUS Executive::WaitReal(PRKEVENT event, bool hasDeadline, int64_t deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!TryConsumeLocked(event)) {
        if (!hasDeadline) {
            eventCv_.wait(lock);
            continue;
        }
        int64_t ahead = deadline - InterruptNow();
        if (ahead <= 0) {
            return static_cast<NTSTATUS>(0x00000102L);
        }
        eventCv_.wait_for(lock, std::chrono::nanoseconds(ahead * 100));
    }
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------ lookaside registry

bool Executive::RegisterLookaside(const void* list, ULONG tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookasides_.emplace(list, tag).second;
}

bool Executive::UnregisterLookaside(const void* list) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookasides_.erase(list) != 0;
}

bool Executive::IsLookasideLive(const void* list) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookasides_.count(list) != 0;
}

void Executive::NoteLookasideEntry(const void* entry, const void* list) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookasideEntries_[entry] = list;
}

const void* Executive::TakeLookasideEntry(const void* entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lookasideEntries_.find(entry);
    if (it == lookasideEntries_.end()) {
        return nullptr;
    }
    const void* list = it->second;
    lookasideEntries_.erase(it);
    return list;
}

const void* Executive::FindLookaside(ULONG tag, size_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const void* found = nullptr;
    *count = 0;
    for (const auto& entry : lookasides_) {
        if (entry.second == tag) {
            found = found != nullptr ? found : entry.first;
            ++*count;
        }
    }
    return found;
}

size_t Executive::CountLookasideEntries(const void* list) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& entry : lookasideEntries_) {
        count += entry.second == list ? 1 : 0;
    }
    return count;
}

// -------------------------------------------------------------- verifier hooks

void Executive::CheckFreedRange(const void* begin, size_t size, const void* caller) {
    const char* first = static_cast<const char*>(begin);
    const char* last = first + size;
    auto inside = [&](const void* p) {
        const char* c = static_cast<const char*>(p);
        return c >= first && c < last;
    };
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<PKTIMER> disarm;
        for (const auto& entry : armed_) {
            if (inside(entry.first)) {
                problems.push_back(Format("freed block @%p holds an armed KTIMER at offset %td",
                                          begin,
                                          reinterpret_cast<const char*>(entry.first) - first));
                disarm.push_back(entry.first);
            } else if (entry.second.dpc != nullptr && inside(entry.second.dpc)) {
                problems.push_back(Format("freed block @%p holds the KDPC of the armed KTIMER @%p",
                                          begin, static_cast<void*>(entry.first)));
                disarm.push_back(entry.first);
            }
        }
        for (PKTIMER timer : disarm) {
            EraseArmedLocked(timer);
        }
        for (auto it = dpcQueue_.begin(); it != dpcQueue_.end();) {
            if (inside(*it)) {
                problems.push_back(Format("freed block @%p holds a queued KDPC at offset %td",
                                          begin, reinterpret_cast<const char*>(*it) - first));
                queued_.erase(*it);
                it = dpcQueue_.erase(it);
            } else {
                ++it;
            }
        }
        lookasideEntries_.erase(begin);  // an entry given back straight to the pool
        for (auto it = lookasides_.lower_bound(begin);
             it != lookasides_.end() && inside(it->first);) {
            problems.push_back(
                Format("freed block @%p holds a lookaside list not deleted, at offset %td", begin,
                       static_cast<const char*>(it->first) - first));
            it = lookasides_.erase(it);
        }
    }
    if (!problems.empty()) {
        std::string site = CallSite::Format(caller);
        for (const auto& problem : problems) {
            Verifier::Report(Rule::PoolFreeWithLiveObject, site.c_str(), problem);
        }
    }
}

void Executive::CheckUnload() {
    struct Finding {
        Rule rule;
        std::string site;
        std::string detail;
    };
    std::vector<Finding> findings;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int64_t now = NowLocked();
        for (const auto& entry : armed_) {
            PKTIMER timer = entry.first;
            const ArmedTimer& armed = entry.second;
            int64_t due = std::get<0>(armed.key);
            if (!armed.absolute && __builtin_add_overflow(due, SystemBase(), &due)) {
                due = INT64_MAX;
            }
            char text[200];
            std::snprintf(text, sizeof text,
                          "KTIMER @%p still set at unload, due at %lld (%lld from now), DPC @%p",
                          static_cast<void*>(timer), static_cast<long long>(due),
                          static_cast<long long>(due > now ? due - now : 0),
                          static_cast<void*>(armed.dpc));
            findings.push_back({Rule::TimerStillSet,
                                RoutineName(reinterpret_cast<const void*>(armed.routine)), text});
        }
        for (PKDPC dpc : dpcQueue_) {
            findings.push_back(
                {Rule::DpcStillQueued,
                 RoutineName(reinterpret_cast<const void*>(dpc->DeferredRoutine)),
                 Format("KDPC @%p still queued at unload", static_cast<void*>(dpc))});
        }
        for (const auto& entry : lookasides_) {
            char text[160];
            char tag[5] = {static_cast<char>(entry.second & 0xFF),
                           static_cast<char>((entry.second >> 8) & 0xFF),
                           static_cast<char>((entry.second >> 16) & 0xFF),
                           static_cast<char>((entry.second >> 24) & 0xFF), 0};
            std::snprintf(text, sizeof text, "lookaside list @%p (tag '%s') not deleted at unload",
                          entry.first, tag);
            findings.push_back({Rule::LookasideNotDeleted, "", text});
        }
    }
    for (const auto& finding : findings) {
        Verifier::Report(finding.rule, finding.site.c_str(), finding.detail);
    }
}

}  // namespace host
