#include "host/executive/Pool.h"

#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/executive/IrqlCheck.h"
#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/FaultInjector.h"
#include "host/verifier/LockOrderGraph.h"
#include "host/verifier/PoolTracker.h"

#include <cstdio>
#include <string>

namespace host {

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool counted, const void* caller) {
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag", caller);
    if (type == PagedPool && ThreadState::Irql() > APC_LEVEL) {
        Verifier::Report(Rule::IrqlTooHigh, CallSite::Format(caller).c_str(),
                         "paged pool allocated at IRQL " + std::to_string(ThreadState::Irql()));
    }
    if (counted && FaultInjector::Instance().ShouldFail(tag)) {
        return nullptr;
    }
    return PoolTracker::Instance().Allocate(size, tag, caller);
}

void Pool::Free(PVOID block, const char* routine, const void* caller) {
    IrqlCheck::AtMost(DISPATCH_LEVEL, routine, caller);
    char text[160];
    if (block == nullptr) {
        std::snprintf(text, sizeof text, "%s(NULL)", routine);
        Verifier::Report(Rule::PoolUnknownFree, CallSite::Format(caller).c_str(), text);
        return;
    }
    PoolTracker::Block record{};
    if (PoolTracker::Instance().Find(block, &record)) {
        // Nothing the executive runs may live in memory that goes away.
        Executive::Instance().CheckFreedRange(block, record.size, caller);
        LockOrderGraph::Instance().ForgetRange(
            block, static_cast<const char*>(block) + (record.size == 0 ? 1 : record.size));
    }
    switch (PoolTracker::Instance().Free(block, nullptr)) {
        case PoolTracker::FreeResult::Freed:
            return;
        case PoolTracker::FreeResult::DoubleFree:
            std::snprintf(text, sizeof text, "%s of block %p, which was already freed", routine,
                          block);
            Verifier::Report(Rule::PoolDoubleFree, CallSite::Format(caller).c_str(), text);
            return;
        case PoolTracker::FreeResult::Unknown:
            std::snprintf(text, sizeof text, "%s of %p, which the pool never handed out", routine,
                          block);
            Verifier::Report(Rule::PoolUnknownFree, CallSite::Format(caller).c_str(), text);
            return;
    }
}

}  // namespace host

using host::Pool;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Pool::Allocate(PoolType, NumberOfBytes, Tag, true, HOST_CALLER());
}

void ExFreePool(PVOID P) {
    Pool::Free(P, "ExFreePool", HOST_CALLER());
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    const void* caller = HOST_CALLER();
    host::PoolTracker::Block record{};
    if (P != nullptr && host::PoolTracker::Instance().Find(P, &record) && record.tag != Tag) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "ExFreePoolWithTag of %p with tag 0x%08x; it was allocated with 0x%08x", P,
                      static_cast<unsigned>(Tag), static_cast<unsigned>(record.tag));
        host::Verifier::Report(host::Rule::Other, host::CallSite::Format(caller).c_str(), text);
    }
    Pool::Free(P, "ExFreePoolWithTag", caller);
}
