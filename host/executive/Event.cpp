// Kernel events: notification (stays signalled) and synchronization
// (auto-reset: a satisfied wait clears it). Waits without a time-out only at
// APC_LEVEL or below; see Executive for how the virtual clock waits.
#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/executive/IrqlCheck.h"
#include "host/executive/Suspension.h"
#include "host/executive/ThreadState.h"
#include "host/variants/Variants.h"
#include "host/verifier/CallSite.h"

#include <string>

using host::CallSite;
using host::Executive;
using host::IrqlCheck;
using host::Rule;
using host::ThreadState;
using host::Variant;
using host::Variants;
using host::Verifier;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Executive::Instance().InitializeEvent(Event, Type, State);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "KeSetEvent", caller);
    host::Suspension::Point();
    LONG previous = Executive::Instance().SetEvent(Event, caller);
    Executive::Instance().DpcCallPoint();
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "KeClearEvent", caller);
    Executive::Instance().ClearEvent(Event, caller);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "KeReadStateEvent", caller);
    return Executive::Instance().ReadStateEvent(Event, caller);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitMode;
    (void)Alertable;
    const void* caller = HOST_CALLER();
    // Drivers wait with reason Executive (UserRequest for a user thread's
    // work); whether Suspended is accepted is open (wait-reason-suspended).
    if (WaitReason == Suspended && Variants::Is(Variant::WaitReasonSuspended, "flag")) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "KeWaitForSingleObject with WaitReason Suspended: a driver waits with "
                         "Executive");
    }
    KIRQL irql = ThreadState::Irql();
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql > APC_LEVEL && !poll)) {
        Verifier::Report(Rule::WaitAtRaisedIrql, CallSite::Format(caller).c_str(),
                         "KeWaitForSingleObject at IRQL " + std::to_string(irql) +
                             (poll ? "" : " with a non-zero time-out"));
        return STATUS_UNSUCCESSFUL;
    }
    host::Suspension::Point();
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    if (event->Magic != Executive::kEventMagic) {
        if (event->Magic == Executive::kTimerMagic || event->Magic == Executive::kDpcMagic) {
            Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                             "KeWaitForSingleObject on an object the host waits on only as an "
                             "event (timers are not waitable here)");
            return STATUS_INVALID_PARAMETER;
        }
    }
    return Executive::Instance().WaitForEvent(event, Timeout, caller);
}
