// IRQL: tracked per thread. Raising and lowering check the direction the way
// the kernel's IRQL_NOT_GREATER_OR_EQUAL / IRQL_NOT_LESS_OR_EQUAL checks do,
// and PAGED_CODE() checks pageable code runs at APC_LEVEL or below.
#include <host/executive/HostKernel.h>
#include <host/verifier/Verifier.h>

#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"

#include <string>

using host::CallSite;
using host::Rule;
using host::ThreadState;
using host::Verifier;

KIRQL KeGetCurrentIrql(void) {
    return ThreadState::Irql();
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = ThreadState::Irql();
    if (NewIrql < current) {
        Verifier::Report(Rule::Other, CallSite::Format(HOST_CALLER()).c_str(),
                         "KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                             std::to_string(current));
    }
    *OldIrql = current;
    ThreadState::SetIrql(NewIrql);
}

void KeLowerIrql(KIRQL NewIrql) {
    KIRQL current = ThreadState::Irql();
    if (NewIrql > current) {
        Verifier::Report(Rule::Other, CallSite::Format(HOST_CALLER()).c_str(),
                         "KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                             std::to_string(current));
    }
    ThreadState::SetIrql(NewIrql);
}

void HostPagedCodeCheck(const char* File, int Line) {
    KIRQL current = ThreadState::Irql();
    if (current > APC_LEVEL) {
        std::string site = std::string(File != nullptr ? File : "?") + ":" + std::to_string(Line);
        Verifier::Report(Rule::PagedCodeAtRaisedIrql, site.c_str(),
                         "pageable code entered at IRQL " + std::to_string(current));
    }
}

namespace host {

ScopedIrql::ScopedIrql(KIRQL irql) : old_(ThreadState::Irql()) {
    ThreadState::SetIrql(irql);
}

ScopedIrql::~ScopedIrql() {
    ThreadState::SetIrql(old_);
}

}  // namespace host
