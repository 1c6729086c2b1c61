#include "host/executive/Suspension.h"

#include <host/executive/HostKernel.h>

#include "host/executive/CriticalRegion.h"
#include "host/executive/ThreadState.h"
#include "host/variants/Variants.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

namespace host {

namespace {

struct Plan {
    int pointsLeft = 0;      // suspension points to go; 0 once suspended
    int64_t length = -1;     // virtual time to stay suspended; < 0: until ResumeAll
    bool suspended = false;  // the thread waits in Point
    int64_t end = -1;        // system time the suspension ends (length >= 0)
};

std::mutex& PlanMutex() {
    static std::mutex mutex;
    return mutex;
}

// Signalled when a thread is suspended, resumed or goes past its plan.
std::condition_variable& PlanChanged() {
    static std::condition_variable condition;
    return condition;
}

// Thread id -> plan; PlanMutex().
std::map<ULONG_PTR, Plan>& Plans() {
    static std::map<ULONG_PTR, Plan> plans;
    return plans;
}

std::atomic<int> g_armed{0};  // plans in Plans(): lets Point return at once
int g_suspensions = 0;        // PlanMutex()

// The calling thread can be suspended here: PASSIVE_LEVEL, and not inside a
// critical region that blocks suspension.
bool Suspendable() {
    if (ThreadState::Irql() != PASSIVE_LEVEL) {
        return false;
    }
    return CriticalRegion::Depth() == 0 || Variants::Is(Variant::SuspendCriticalRegion, "not");
}

}  // namespace

void Suspension::Arm(int nth, int64_t virtualLength) {
    std::lock_guard<std::mutex> lock(PlanMutex());
    Plan& plan = Plans()[ThreadState::Id()];
    plan = Plan{};
    plan.pointsLeft = nth < 1 ? 1 : nth;
    plan.length = virtualLength;
    g_armed.store(static_cast<int>(Plans().size()));
}

void Suspension::Disarm() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    Plans().erase(ThreadState::Id());
    g_armed.store(static_cast<int>(Plans().size()));
    PlanChanged().notify_all();
}

bool Suspension::WaitUntilSuspended(int count) {
    std::unique_lock<std::mutex> lock(PlanMutex());
    for (;;) {
        int suspended = 0;
        int pending = 0;
        for (const auto& entry : Plans()) {
            suspended += entry.second.suspended ? 1 : 0;
            pending += entry.second.pointsLeft > 0 ? 1 : 0;
        }
        if (suspended >= count) {
            return true;
        }
        if (pending == 0) {
            return false;
        }
        PlanChanged().wait(lock);
    }
}

void Suspension::ResumeAll() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    for (auto& entry : Plans()) {
        entry.second.suspended = false;
        entry.second.pointsLeft = 0;
    }
    PlanChanged().notify_all();
}

int Suspension::SuspendedCount() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    int suspended = 0;
    for (const auto& entry : Plans()) {
        suspended += entry.second.suspended ? 1 : 0;
    }
    return suspended;
}

int Suspension::SuspensionsSince() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    return g_suspensions;
}

void Suspension::Reset() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    Plans().clear();
    g_armed.store(0);
    g_suspensions = 0;
}

void Suspension::Point() {
    if (g_armed.load() == 0 || !Suspendable()) {
        return;
    }
    std::unique_lock<std::mutex> lock(PlanMutex());
    auto found = Plans().find(ThreadState::Id());
    if (found == Plans().end() || found->second.pointsLeft == 0) {
        return;
    }
    Plan& plan = found->second;
    if (--plan.pointsLeft > 0) {
        return;
    }
    plan.suspended = true;
    plan.end = plan.length < 0 ? -1 : HostKernel::Now() + plan.length;
    ++g_suspensions;
    PlanChanged().notify_all();
    PlanChanged().wait(lock, [&plan] { return !plan.suspended; });
    Plans().erase(ThreadState::Id());
    g_armed.store(static_cast<int>(Plans().size()));
    PlanChanged().notify_all();
}

bool Suspension::IsSuspended(ULONG_PTR threadId) {
    std::lock_guard<std::mutex> lock(PlanMutex());
    auto found = Plans().find(threadId);
    return found != Plans().end() && found->second.suspended;
}

int64_t Suspension::EarliestEnd() {
    std::lock_guard<std::mutex> lock(PlanMutex());
    int64_t earliest = -1;
    for (const auto& entry : Plans()) {
        const Plan& plan = entry.second;
        if (plan.suspended && plan.end >= 0 && (earliest < 0 || plan.end < earliest)) {
            earliest = plan.end;
        }
    }
    return earliest;
}

bool Suspension::ResumeDue(int64_t now) {
    std::lock_guard<std::mutex> lock(PlanMutex());
    bool resumed = false;
    for (auto& entry : Plans()) {
        Plan& plan = entry.second;
        if (plan.suspended && plan.end >= 0 && plan.end <= now) {
            plan.suspended = false;
            resumed = true;
        }
    }
    PlanChanged().notify_all();
    return resumed;
}

}  // namespace host
