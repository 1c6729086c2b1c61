// Non-paged lookaside lists in the real layout. Allocation and free are the
// kernel headers' inline code (host/include/host/ntddk.h), which calls the
// list's Allocate and Free; the host caches nothing (Depth 0), so with the
// default routines every entry is a pool block carrying the list's tag, and
// leaks and fault injection see lookaside entries like any other allocation.
// The executive registers live lists so unload and free checks can find them.
#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/executive/IrqlCheck.h"
#include "host/executive/Pool.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/FaultInjector.h"

#include <cstdio>
#include <mutex>

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
    if (list->L.Future[0] == Executive::kLookasideMagic &&
        Executive::Instance().IsLookasideLive(list)) {
        return true;
    }
    ReportList(Rule::UninitializedObject, caller,
               list->L.Future[0] == Executive::kDeletedMagic
                   ? "lookaside list @%p used after ExDeleteNPagedLookasideList"
                   : "lookaside list @%p used before ExInitializeNPagedLookasideList",
               list);
    return false;
}

// The interlocked singly linked lists share one lock: the host's lists are
// short and rarely used (lookaside lists of depth 0 never hold an entry).
std::mutex& SListMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

PSLIST_ENTRY ExpInterlockedPopEntrySList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> lock(SListMutex());
    auto* first = reinterpret_cast<PSLIST_ENTRY>(ListHead->Region);
    if (first != nullptr) {
        ListHead->Region = reinterpret_cast<ULONGLONG>(first->Next);
        ListHead->Alignment = (ListHead->Alignment & 0xffff) - 1;
    }
    return first;
}

PSLIST_ENTRY ExpInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry) {
    std::lock_guard<std::mutex> lock(SListMutex());
    auto* first = reinterpret_cast<PSLIST_ENTRY>(ListHead->Region);
    ListEntry->Next = first;
    ListHead->Region = reinterpret_cast<ULONGLONG>(ListEntry);
    ListHead->Alignment = (ListHead->Alignment & 0xffff) + 1;
    return first;
}

USHORT ExQueryDepthSList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> lock(SListMutex());
    return static_cast<USHORT>(ListHead->Alignment & 0xffff);
}

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
    (void)Depth;  // the host caches nothing, whatever the depth
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList", caller);
    if (Lookaside->L.Future[0] == Executive::kLookasideMagic &&
        Executive::Instance().IsLookasideLive(Lookaside)) {
        ReportList(Rule::LookasideMisuse, caller,
                   "lookaside list @%p initialised again without being deleted", Lookaside);
    }
    std::memset(Lookaside, 0, sizeof *Lookaside);
    Lookaside->L.Depth = 0;
    Lookaside->L.MaximumDepth = 0;
    Lookaside->L.Type = (Flags & POOL_NX_ALLOCATION) != 0 ? NonPagedPoolNx : NonPagedPool;
    Lookaside->L.Tag = Tag;
    Lookaside->L.Size = static_cast<ULONG>(Size);
    Lookaside->L.Allocate = Allocate != nullptr ? Allocate : &HostLookasideAllocate;
    Lookaside->L.Free = Free != nullptr ? Free : &HostLookasideFree;
    InitializeListHead(&Lookaside->L.ListEntry);
    Lookaside->L.Future[0] = Executive::kLookasideMagic;
    Executive::Instance().RegisterLookaside(Lookaside, Tag);
}

PVOID HostLookasideAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList", caller);
    // One allocation for fault injection, as for any pool block.
    if (host::FaultInjector::Instance().ShouldFail(Tag)) {
        return nullptr;
    }
    PVOID entry = host::Pool::Allocate(PoolType, NumberOfBytes, Tag, false, caller);
    size_t lists = 0;
    const void* list = Executive::Instance().FindLookaside(Tag, &lists);
    if (entry != nullptr && list != nullptr) {
        Executive::Instance().NoteLookasideEntry(entry, list);
    }
    return entry;
}

void HostLookasideFree(PVOID Buffer) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList", caller);
    if (Executive::Instance().TakeLookasideEntry(Buffer) == nullptr) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "entry %p freed to a lookaside list, which did not hand it out", Buffer);
        Verifier::Report(Rule::LookasideMisuse, CallSite::Format(caller).c_str(), text);
        return;
    }
    host::Pool::Free(Buffer, "ExFreeToNPagedLookasideList", caller);
}

PVOID HostDeletedLookasideAllocate(POOL_TYPE, SIZE_T, ULONG Tag) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "allocation from a lookaside list (tag 0x%08x) after ExDeleteNPagedLookasideList",
                  static_cast<unsigned>(Tag));
    Verifier::Report(Rule::UninitializedObject, CallSite::Format(HOST_CALLER()).c_str(), text);
    return nullptr;
}

void HostDeletedLookasideFree(PVOID Buffer) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "entry %p freed to a lookaside list after ExDeleteNPagedLookasideList", Buffer);
    Verifier::Report(Rule::UninitializedObject, CallSite::Format(HOST_CALLER()).c_str(), text);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList", caller);
    if (!CheckLive(Lookaside, caller)) {
        return;
    }
    // Entries are known by tag: with one live list of the tag, those still
    // out are this list's.
    size_t lists = 0;
    Executive::Instance().FindLookaside(Lookaside->L.Tag, &lists);
    size_t live = lists == 1 ? Executive::Instance().CountLookasideEntries(Lookaside) : 0;
    if (live != 0) {
        ReportList(Rule::LookasideMisuse, caller,
                   "lookaside list @%p deleted with %ld entries still allocated from it", Lookaside,
                   static_cast<long>(live));
    }
    Executive::Instance().UnregisterLookaside(Lookaside);
    Lookaside->L.Future[0] = Executive::kDeletedMagic;
    // The inline allocation and free still call through the list: a use
    // after delete reaches these and is reported.
    Lookaside->L.Allocate = &HostDeletedLookasideAllocate;
    Lookaside->L.Free = &HostDeletedLookasideFree;
}
