// Deferred procedure calls: a DPC object is queued at most once at a time and
// its routine runs at DISPATCH_LEVEL, one DPC at a time (see Executive).
#include <host/ntddk.h>

#include "host/executive/Executive.h"
#include "host/verifier/CallSite.h"

using host::Executive;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Executive::Instance().InitializeDpc(Dpc, DeferredRoutine, DeferredContext, HOST_CALLER());
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    return Executive::Instance().InsertQueueDpc(Dpc, SystemArgument1, SystemArgument2,
                                                HOST_CALLER());
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    return Executive::Instance().RemoveQueueDpc(Dpc, HOST_CALLER());
}
