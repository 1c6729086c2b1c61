#include "host/loader/ImageBoundary.h"
#include "host/executive/Executive.h"

#include <host/verifier/Verifier.h>

#include "host/executive/DpcTiming.h"
#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/LockOrderGraph.h"

#include <chrono>
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

int64_t WallClockNow() {
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100 +
           kUnixEpochIn1601;
}

// The wall-clock moment of a system time, for timed waits. Far-off times are
// brought within an hour: the waiting loops look at the clock again anyway.
std::chrono::system_clock::time_point WallClockPoint(int64_t systemTime) {
    constexpr int64_t kHour = 36000000000LL;
    int64_t now = WallClockNow();
    int64_t ahead = systemTime > now ? systemTime - now : 0;
    if (ahead > kHour) {
        ahead = kHour;
    }
    auto since = std::chrono::nanoseconds((now - kUnixEpochIn1601 + ahead) * 100);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
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
        timers_.clear();
        armed_.clear();
        dpcQueue_.clear();
        queued_.clear();
        lookasides_.clear();
        lookasideEntries_.clear();
        sequence_ = 0;
        stopping_ = false;
        mode_.store(mode);
        virtualNow_.store(virtualStart);
    }
    if (mode == ClockMode::Real) {
        timerThread_ = std::thread([this] { TimerThread(); });
        dpcThread_ = std::thread([this] { DpcThread(); });
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
    if (dpcThread_.joinable()) {
        dpcThread_.join();
    }
}

ClockMode Executive::Mode() {
    return mode_.load();
}

int64_t Executive::Now() {
    return mode_.load() == ClockMode::Virtual ? virtualNow_.load() : WallClockNow();
}

int64_t Executive::NowLocked() {
    return Now();
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
    // another thread may have advanced meanwhile.
    int64_t when = relative ? virtualNow_.load() + amount : amount;
    if (when < virtualNow_.load()) {
        Verifier::Report(
            Rule::Other, CallSite::Format(caller).c_str(),
            Format("virtual time advanced backwards, to %lld from %lld",
                   static_cast<long long>(when), static_cast<long long>(virtualNow_.load())));
        when = virtualNow_.load();
    }
    RunQueuedDpcs(lock);
    while (!timers_.empty() && std::get<0>(*timers_.begin()) <= when) {
        int64_t due = std::get<0>(*timers_.begin());
        if (due > virtualNow_.load()) {
            virtualNow_.store(due);
        }
        FireFirstTimerLocked();
        RunQueuedDpcs(lock);
    }
    if (when > virtualNow_.load()) {
        virtualNow_.store(when);
    }
}

void Executive::SetTimeWithoutRunning(int64_t when, const void* caller) {
    if (mode_.load() != ClockMode::Virtual) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "virtual time set while the real clock runs");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    virtualNow_.store(when);
}

int64_t Executive::NextDueTime() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.empty() ? -1 : std::get<0>(*timers_.begin());
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

bool Executive::DisarmLocked(PKTIMER timer) {
    auto it = armed_.find(timer);
    if (it == armed_.end()) {
        return false;
    }
    timers_.erase(it->second.key);
    armed_.erase(it);
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
    int64_t now = NowLocked();
    // Negative: relative to now; otherwise an absolute system time.
    int64_t absolute = AbsoluteDueTime(now, dueTime);
    bool wasSet = DisarmLocked(timer);
    timer->DueTime = absolute;
    timer->Dpc = dpc;
    if (absolute <= now) {
        // Already due: the timer expires at once and its DPC is queued.
        if (dpc != nullptr) {
            QueueDpcLocked(dpc, nullptr, nullptr);
        }
        return wasSet ? TRUE : FALSE;
    }
    TimerKey key{absolute, ++sequence_, timer};
    timer->Sequence = std::get<1>(key);
    timer->Inserted = 1;
    timers_.insert(key);
    armed_[timer] = ArmedTimer{key, dpc, dpc != nullptr ? dpc->DeferredRoutine : nullptr};
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
    TimerKey key = *timers_.begin();
    PKTIMER timer = std::get<2>(key);
    auto it = armed_.find(timer);
    PKDPC dpc = it != armed_.end() ? it->second.dpc : nullptr;
    timers_.erase(timers_.begin());
    armed_.erase(timer);
    timer->Inserted = 0;
    if (dpc != nullptr) {
        DpcTiming::NoteTimerRoutine(reinterpret_cast<const void*>(dpc->DeferredRoutine));
        QueueDpcLocked(dpc, nullptr, nullptr);
    }
}

bool Executive::RunOneDpc(std::unique_lock<std::mutex>& lock) {
    if (dpcQueue_.empty()) {
        return false;
    }
    PKDPC dpc = dpcQueue_.front();
    dpcQueue_.pop_front();
    queued_.erase(dpc);
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
    if (routine != nullptr) {
        DpcTiming::Run timing(reinterpret_cast<const void*>(routine));
        CallDriver(routine, dpc, context, argument1, argument2);
    }
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
    idleCv_.notify_all();
    return true;
}

void Executive::RunQueuedDpcs(std::unique_lock<std::mutex>& lock) {
    while (RunOneDpc(lock)) {
    }
}

void Executive::TimerThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerCv_.wait(lock);
            continue;
        }
        int64_t due = std::get<0>(*timers_.begin());
        if (due <= NowLocked()) {
            FireFirstTimerLocked();
            continue;
        }
        timerCv_.wait_until(lock, WallClockPoint(due));
    }
}

void Executive::DpcThread() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        dpcCv_.wait(lock, [this] { return stopping_ || !dpcQueue_.empty(); });
        if (stopping_) {
            break;
        }
        RunOneDpc(lock);
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
    bool hasDeadline = timeout != nullptr;
    int64_t deadline = 0;
    if (hasDeadline) {
        deadline = AbsoluteDueTime(Now(), timeout->QuadPart);
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
    for (;;) {
        if (TryConsumeLocked(event)) {
            return STATUS_SUCCESS;
        }
        if (RunOneDpc(lock)) {
            continue;
        }
        int64_t now = virtualNow_.load();
        if (hasDeadline && deadline <= now) {
            return timedOut;
        }
        if (!timers_.empty() && (!hasDeadline || std::get<0>(*timers_.begin()) <= deadline)) {
            int64_t due = std::get<0>(*timers_.begin());
            if (due > now) {
                virtualNow_.store(due);
            }
            FireFirstTimerLocked();
            continue;
        }
        if (hasDeadline) {
            virtualNow_.store(deadline);
            return timedOut;
        }
        // Reported with the state lock held: the runner token is given back
        // under it when this scope ends (the verifier's lock is a leaf).
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         Format("wait would block forever: KEVENT @%p is not signalled and no "
                                "timer is set to signal it",
                                static_cast<void*>(event)));
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS Executive::WaitReal(PRKEVENT event, bool hasDeadline, int64_t deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!TryConsumeLocked(event)) {
        if (!hasDeadline) {
            eventCv_.wait(lock);
        } else if (eventCv_.wait_until(lock, WallClockPoint(deadline)) == std::cv_status::timeout) {
            return TryConsumeLocked(event) ? STATUS_SUCCESS : static_cast<NTSTATUS>(0x00000102L);
        }
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
            auto it = armed_.find(timer);
            timers_.erase(it->second.key);
            armed_.erase(it);
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
        for (const auto& key : timers_) {
            PKTIMER timer = std::get<2>(key);
            const ArmedTimer& armed = armed_[timer];
            char text[200];
            std::snprintf(text, sizeof text,
                          "KTIMER @%p still set at unload, due at %lld (%lld from now), DPC @%p",
                          static_cast<void*>(timer), static_cast<long long>(std::get<0>(key)),
                          static_cast<long long>(std::get<0>(key) - now),
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
