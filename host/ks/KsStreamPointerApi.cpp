// The stream pointer calls. All of them are allowed up to DISPATCH_LEVEL; the
// queue they work on is found from the pin or the pointer (see KsStreamQueue).
#include <host/ks.h>

#include "host/ks/KsObjectTable.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsRules.h"
#include "host/ks/KsStreamQueue.h"
#include "host/verifier/CallSite.h"

using host::Rule;
using host::ks::KsObjectEntry;
using host::ks::KsObjectKind;
using host::ks::KsObjectTable;
using host::ks::KsRules;
using host::ks::KsStreamQueue;

namespace {

std::shared_ptr<KsStreamQueue> QueueOfPin(PKSPIN pin, const char* routine, const void* caller) {
    KsObjectEntry entry;
    if (!KsObjectTable::Find(pin, &entry) || entry.kind != KsObjectKind::Pin) {
        KsRules::Report(Rule::KsObject, routine, caller, "not a live KSPIN");
        return nullptr;
    }
    return entry.pin->Queue();
}

}  // namespace

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsPinGetLeadingEdgeStreamPointer", caller)) {
        return nullptr;
    }
    auto queue = QueueOfPin(Pin, "KsPinGetLeadingEdgeStreamPointer", caller);
    return queue != nullptr ? queue->LeadingEdge(State, caller) : nullptr;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback,
                              ULONG ContextSize, PKSSTREAM_POINTER* CloneStreamPointer) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerClone", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return KsStreamQueue::Clone(StreamPointer, CancelCallback, ContextSize, CloneStreamPointer,
                                caller);
}

NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerLock", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return KsStreamQueue::Lock(StreamPointer, caller);
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerAdvance", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return KsStreamQueue::Advance(StreamPointer, caller);
}

NTSTATUS KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                       BOOLEAN Eject) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerAdvanceOffsets", caller)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return KsStreamQueue::AdvanceOffsets(StreamPointer, InUsed, OutUsed, Eject, caller);
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerUnlock", caller)) {
        return;
    }
    KsStreamQueue::Unlock(StreamPointer, Eject, caller);
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsPinGetFirstCloneStreamPointer", caller)) {
        return nullptr;
    }
    auto queue = QueueOfPin(Pin, "KsPinGetFirstCloneStreamPointer", caller);
    return queue != nullptr ? queue->FirstClone() : nullptr;
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerGetNextClone", caller)) {
        return nullptr;
    }
    return KsStreamQueue::NextClone(StreamPointer, caller);
}

void KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerDelete", caller)) {
        return;
    }
    KsStreamQueue::Delete(StreamPointer, caller);
}
