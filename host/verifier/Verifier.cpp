#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/FaultInjector.h"
#include "host/verifier/LockOrderGraph.h"
#include "host/verifier/PoolTracker.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace host {

namespace {

// Recorded violations; guarded by ViolationMutex().
std::vector<Violation>& ViolationList() {
    static std::vector<Violation> list;
    return list;
}

std::mutex& ViolationMutex() {
    static std::mutex mutex;
    return mutex;
}

// VCAM_VERIFIER_VERBOSE=1 prints each violation as it happens.
bool Verbose() {
    static const bool verbose = [] {
        const char* value = std::getenv("VCAM_VERIFIER_VERBOSE");
        return value != nullptr && value[0] != '\0' && value[0] != '0';
    }();
    return verbose;
}

std::string TagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

}  // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
        case Rule::PagedCodeAtRaisedIrql:
            return "PagedCodeAtRaisedIrql";
        case Rule::WaitAtRaisedIrql:
            return "WaitAtRaisedIrql";
        case Rule::SpinLockIrql:
            return "SpinLockIrql";
        case Rule::SpinLockNotHeld:
            return "SpinLockNotHeld";
        case Rule::SpinLockRecursion:
            return "SpinLockRecursion";
        case Rule::LockOrder:
            return "LockOrder";
        case Rule::PoolDoubleFree:
            return "PoolDoubleFree";
        case Rule::PoolUnknownFree:
            return "PoolUnknownFree";
        case Rule::PoolLeak:
            return "PoolLeak";
        case Rule::PoolFreeWithLiveObject:
            return "PoolFreeWithLiveObject";
        case Rule::UninitializedObject:
            return "UninitializedObject";
        case Rule::TimerStillSet:
            return "TimerStillSet";
        case Rule::DpcStillQueued:
            return "DpcStillQueued";
        case Rule::LookasideNotDeleted:
            return "LookasideNotDeleted";
        case Rule::LookasideMisuse:
            return "LookasideMisuse";
        case Rule::IrqlTooHigh:
            return "IrqlTooHigh";
        case Rule::StreamPointer:
            return "StreamPointer";
        case Rule::KsObject:
            return "KsObject";
        case Rule::Other:
            return "Other";
    }
    return "?";
}

void Verifier::Reset() {
    {
        std::lock_guard<std::mutex> lock(ViolationMutex());
        ViolationList().clear();
    }
    FaultInjector::Instance().Reset();
    LockOrderGraph::Instance().Clear();
}

void Verifier::Report(Rule rule, const char* site, const std::string& detail) {
    Violation violation{rule, site != nullptr ? site : "", detail};
    if (Verbose()) {
        std::fprintf(stderr, "verifier: %s at %s: %s\n", RuleName(rule), violation.site.c_str(),
                     detail.c_str());
    }
    std::lock_guard<std::mutex> lock(ViolationMutex());
    ViolationList().push_back(std::move(violation));
}

std::vector<Violation> Verifier::Violations() {
    std::lock_guard<std::mutex> lock(ViolationMutex());
    return ViolationList();
}

size_t Verifier::ViolationCount() {
    std::lock_guard<std::mutex> lock(ViolationMutex());
    return ViolationList().size();
}

std::string Verifier::Describe() {
    std::vector<Violation> list = Violations();
    if (list.empty()) {
        return "no verifier violations\n";
    }
    std::string text = std::to_string(list.size()) + " verifier violation(s):\n";
    for (size_t i = 0; i < list.size(); ++i) {
        text += "  #" + std::to_string(i + 1) + " " + RuleName(list[i].rule) + " at " +
                (list[i].site.empty() ? std::string("unknown site") : list[i].site) + ": " +
                list[i].detail + "\n";
    }
    return text;
}

size_t Verifier::OutstandingBlocks() {
    return PoolTracker::Instance().Outstanding();
}

size_t Verifier::OutstandingBlocks(uint32_t tag) {
    return PoolTracker::Instance().Outstanding(tag);
}

std::vector<PoolBlockInfo> Verifier::OutstandingList() {
    return PoolTracker::Instance().OutstandingList();
}

void Verifier::CheckNoLeaks() {
    for (const auto& entry : PoolTracker::Instance().OutstandingSince(0)) {
        char text[160];
        std::snprintf(text, sizeof text, "block %p of %zu bytes, tag '%s', still allocated",
                      entry.first, entry.second.size, TagText(entry.second.tag).c_str());
        Report(Rule::PoolLeak, CallSite::Format(entry.second.caller).c_str(), text);
    }
}

void Verifier::CheckUnload() {
    Executive::Instance().CheckUnload();
}

void Verifier::FailNth(uint64_t n) {
    FaultInjector::Instance().FailNth(n);
}
void Verifier::FailTag(uint32_t tag) {
    FaultInjector::Instance().FailTag(tag);
}
void Verifier::FailAll(bool on) {
    FaultInjector::Instance().FailAll(on);
}
void Verifier::ClearFaults() {
    FaultInjector::Instance().ClearFaults();
}
uint64_t Verifier::AllocationCount() {
    return FaultInjector::Instance().AllocationCount();
}
uint64_t Verifier::InjectedFailures() {
    return FaultInjector::Instance().InjectedFailures();
}

uint64_t Verifier::AllocationMark() {
    return PoolTracker::Instance().Mark();
}

std::vector<PoolBlockInfo> Verifier::OutstandingSince(uint64_t mark) {
    std::vector<PoolBlockInfo> list;
    for (const auto& entry : PoolTracker::Instance().OutstandingSince(mark)) {
        list.push_back(PoolBlockInfo{entry.first, entry.second.size, entry.second.tag});
    }
    return list;
}

std::string Verifier::DescribeBlocks(const std::vector<PoolBlockInfo>& blocks) {
    std::string text;
    for (const auto& block : blocks) {
        PoolTracker::Block record{};
        bool live = PoolTracker::Instance().Find(block.address, &record);
        char line[160];
        std::snprintf(line, sizeof line, "  %p %zu bytes tag '%s' from ", block.address, block.size,
                      TagText(block.tag).c_str());
        text += line;
        text += live ? CallSite::Format(record.caller) : std::string("(freed since)");
        text += "\n";
    }
    return text;
}

void Verifier::NoteLockAcquired(const void* lock, const char* name) {
    const void* caller = HOST_CALLER();
    if (!LockOrderGraph::Instance().Acquired(lock, name, caller)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%s @%p acquired by the thread that already holds it (self-deadlock)",
                      name != nullptr ? name : "lock", lock);
        Report(Rule::LockOrder, CallSite::Format(caller).c_str(), text);
    }
}

void Verifier::NoteLockReleased(const void* lock) {
    if (!LockOrderGraph::Instance().Released(lock)) {
        char text[128];
        std::snprintf(text, sizeof text, "lock @%p released by a thread that does not hold it",
                      lock);
        Report(Rule::Other, CallSite::Format(HOST_CALLER()).c_str(), text);
    }
}

void Verifier::ForgetLock(const void* lock) {
    LockOrderGraph::Instance().ForgetRange(lock, static_cast<const char*>(lock) + 1);
}

}  // namespace host
