// KeEnterCriticalRegion/KeLeaveCriticalRegion: a per-thread nesting count.
// Entering above APC_LEVEL is reported (the routine allows <= APC_LEVEL), and
// so is a leave without an enter; both are also suspension points of a
// PASSIVE_LEVEL thread (before entering, after leaving).
#include "host/executive/CriticalRegion.h"

#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/IrqlCheck.h"
#include "host/executive/Suspension.h"
#include "host/verifier/CallSite.h"

namespace host {

namespace {

thread_local int t_depth = 0;  // the calling thread's nesting

}  // namespace

int CriticalRegion::Depth() {
    return t_depth;
}

void CriticalRegion::ResetCurrentThread() {
    t_depth = 0;
}

}  // namespace host

using host::CallSite;
using host::IrqlCheck;
using host::Rule;
using host::Suspension;
using host::Verifier;

void KeEnterCriticalRegion(void) {
    if (!IrqlCheck::AtMost(APC_LEVEL, "KeEnterCriticalRegion", HOST_CALLER())) {
        return;
    }
    Suspension::Point();
    ++host::t_depth;
}

void KeLeaveCriticalRegion(void) {
    const void* caller = HOST_CALLER();
    if (!IrqlCheck::AtMost(APC_LEVEL, "KeLeaveCriticalRegion", caller)) {
        return;
    }
    if (host::t_depth == 0) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "KeLeaveCriticalRegion outside a critical region");
        return;
    }
    --host::t_depth;
    Suspension::Point();
}
