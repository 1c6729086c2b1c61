// Non-paged lookaside lists. The host caches nothing: every entry is a pool
// block (default routines) carrying the list's tag, so leaks and fault
// injection see lookaside entries like any other allocation. The executive
// registers live lists so unload and free checks can find them.
#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/executive/IrqlCheck.h"
#include "host/executive/Pool.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/FaultInjector.h"

#include <cstdio>

using host::CallSite;
using host::Executive;
using host::IrqlCheck;
using host::Rule;
using host::Verifier;

namespace {

void ReportList(Rule rule, const void* caller, const char* format, const void* list,
                long value = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, list, value);
    Verifier::Report(rule, CallSite::Format(caller).c_str(), text);
}

// True if `list` is an initialised list that is not deleted.
bool CheckLive(PNPAGED_LOOKASIDE_LIST list, const void* caller) {
    if (list->Magic == Executive::kLookasideMagic && Executive::Instance().IsLookasideLive(list)) {
        return true;
    }
    ReportList(Rule::UninitializedObject, caller,
               list->Magic == Executive::kDeletedMagic
                   ? "lookaside list @%p used after ExDeleteNPagedLookasideList"
                   : "lookaside list @%p used before ExInitializeNPagedLookasideList",
               list);
    return false;
}

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
    (void)Depth;  // the host caches nothing, whatever the depth
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList", caller);
    if (Lookaside->Magic == Executive::kLookasideMagic &&
        Executive::Instance().IsLookasideLive(Lookaside)) {
        ReportList(Rule::LookasideMisuse, caller,
                   "lookaside list @%p initialised again without being deleted", Lookaside);
    }
    Lookaside->Magic = Executive::kLookasideMagic;
    Lookaside->Tag = Tag;
    Lookaside->Size = Size;
    Lookaside->Flags = Flags;
    Lookaside->Live = 0;
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
    Executive::Instance().RegisterLookaside(Lookaside, Tag);
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList", caller);
    if (!CheckLive(Lookaside, caller)) {
        return nullptr;
    }
    // One allocation for fault injection, whoever supplies the memory.
    if (host::FaultInjector::Instance().ShouldFail(Lookaside->Tag)) {
        return nullptr;
    }
    POOL_TYPE type = (Lookaside->Flags & POOL_NX_ALLOCATION) != 0 ? NonPagedPoolNx : NonPagedPool;
    PVOID entry = Lookaside->Allocate != nullptr
                      ? Lookaside->Allocate(type, Lookaside->Size, Lookaside->Tag)
                      : host::Pool::Allocate(type, Lookaside->Size, Lookaside->Tag, false, caller);
    if (entry != nullptr) {
        Executive::Instance().NoteLookasideEntry(entry, Lookaside);
        InterlockedIncrement(&Lookaside->Live);
    }
    return entry;
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList", caller);
    if (!CheckLive(Lookaside, caller)) {
        return;
    }
    const void* owner = Executive::Instance().TakeLookasideEntry(Entry);
    if (owner != Lookaside) {
        if (owner != nullptr) {
            Executive::Instance().NoteLookasideEntry(Entry, owner);  // leave it to its own list
        }
        char text[200];
        std::snprintf(text, sizeof text,
                      owner == nullptr
                          ? "entry %p freed to lookaside list @%p, which did not hand it out"
                          : "entry %p freed to lookaside list @%p; it came from another list",
                      Entry, static_cast<void*>(Lookaside));
        Verifier::Report(Rule::LookasideMisuse, CallSite::Format(caller).c_str(), text);
        return;
    }
    InterlockedDecrement(&Lookaside->Live);
    if (Lookaside->Free != nullptr) {
        Lookaside->Free(Entry);
    } else {
        host::Pool::Free(Entry, "ExFreeToNPagedLookasideList", caller);
    }
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList", caller);
    if (!CheckLive(Lookaside, caller)) {
        return;
    }
    LONG live = Lookaside->Live;
    if (live != 0) {
        ReportList(Rule::LookasideMisuse, caller,
                   "lookaside list @%p deleted with %ld entries still allocated from it", Lookaside,
                   static_cast<long>(live));
    }
    Executive::Instance().UnregisterLookaside(Lookaside);
    Lookaside->Magic = Executive::kDeletedMagic;
}
