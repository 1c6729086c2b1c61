// One-shot kernel timers and the system time they are set against.
#include <host/ntddk.h>

#include "host/executive/Executive.h"
#include "host/executive/IrqlCheck.h"
#include "host/verifier/CallSite.h"

using host::Executive;
using host::IrqlCheck;

void KeInitializeTimer(PKTIMER Timer) {
    Executive::Instance().InitializeTimer(Timer, HOST_CALLER());
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "KeSetTimer", caller);
    BOOLEAN wasSet = Executive::Instance().SetTimer(Timer, DueTime.QuadPart, Dpc, caller);
    Executive::Instance().DpcCallPoint();
    return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "KeCancelTimer", caller);
    return Executive::Instance().CancelTimer(Timer, caller);
}

// As of the last clock interrupt, as both are kept by the tick.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = Executive::Instance().QuerySystemTime();
}

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(Executive::Instance().QueryInterruptTime());
}
