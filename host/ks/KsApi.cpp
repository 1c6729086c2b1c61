// The class library's exported calls the driver makes, other than the stream
// pointer calls (KsStreamPointerApi.cpp). Each checks its IRQL limit and its
// arguments the way the verifier's AVStream rules do, then goes to the host
// object behind the platform object it was given.
#include "host/loader/ImageBoundary.h"
#include <host/ks.h>

#include "host/ks/KsControlMutex.h"
#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsDriverRecord.h"
#include "host/ks/KsFaults.h"
#include "host/ks/KsFilterObject.h"
#include "host/ks/KsObjectBag.h"
#include "host/ks/KsObjectTable.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsRequest.h"
#include "host/ks/KsRules.h"
#include "host/verifier/CallSite.h"
#include "host/variants/Variants.h"
#include "host/verifier/PoolTracker.h"
#include "host/variants/Variants.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using host::Rule;
using host::Variant;
using host::Variants;
using host::ks::KsDeviceObject;
using host::ks::KsDriverRecord;
using host::ks::KsObjectBag;
using host::ks::KsObjectEntry;
using host::ks::KsObjectKind;
using host::ks::KsObjectTable;
using host::ks::KsRequest;
using host::ks::KsRules;

namespace {

// A bag changes only under the mutex the documentation names for its object:
// the device mutex for a device's or factory's bag, the filter control mutex
// for a filter's or pin's.
void CheckBagGuard(KsObjectBag& bag, const char* routine, const void* caller) {
    if (!bag.GuardHeld()) {
        std::string text = std::string("the ") + bag.Owner() + "'s bag changed without " +
                           bag.GuardName() + " held";
        KsRules::Report(Rule::KsObject, routine, caller, text.c_str());
    }
}

}  // namespace

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsInitializeDriver", caller);
    KsDriverRecord* record = KsDriverRecord::FromDriverObject(DriverObject);
    if (record == nullptr || RegistryPathName == nullptr) {
        KsRules::Report(Rule::KsObject, "KsInitializeDriver", caller,
                        "not the driver object and registry path of a driver being loaded");
        return STATUS_INVALID_PARAMETER;
    }
    record->Initialize(Descriptor);
    return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                               PCWSTR RefString, PSECURITY_DESCRIPTOR, ULONG CreateItemFlags,
                               PFNKSFILTERFACTORYPOWER, PFNKSFILTERFACTORYPOWER,
                               PKSFILTERFACTORY* FilterFactory) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsCreateFilterFactory", caller);
    KsDeviceObject* device = KsDeviceObject::FromDeviceObject(DeviceObject);
    if (device == nullptr) {
        KsRules::Report(Rule::KsObject, "KsCreateFilterFactory", caller,
                        "not the functional device object of a KS device");
        if (FilterFactory != nullptr) {
            *FilterFactory = nullptr;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->Mutex().HeldByCurrentThread()) {
        KsRules::Report(Rule::KsObject, "KsCreateFilterFactory", caller,
                        "called without the device mutex held");
    }
    return device->CreateFilterFactory(Descriptor, RefString, CreateItemFlags, FilterFactory);
}

void KsAcquireDevice(PKSDEVICE Device) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(APC_LEVEL, "KsAcquireDevice", caller);
    KsObjectEntry entry;
    if (!KsObjectTable::Find(Device, &entry) || entry.kind != KsObjectKind::Device) {
        KsRules::Report(Rule::KsObject, "KsAcquireDevice", caller, "not a live KSDEVICE");
        return;
    }
    if (host::ks::KsControlMutex::AnyHeldByCurrentThread()) {
        // The class library takes the device mutex first and a filter's
        // control mutex second (filter create and close hold both).
        KsRules::Report(Rule::KsObject, "KsAcquireDevice", caller,
                        "the device mutex was taken under a filter's control mutex (the class "
                        "library takes them the other way round: a deadlock on Windows)");
    }
    if (!entry.device->Mutex().Acquire()) {
        KsRules::Report(Rule::KsObject, "KsAcquireDevice", caller,
                        "the device mutex is not recursive: acquired again by the thread that "
                        "holds it (a self-deadlock on Windows)");
    }
}

void KsReleaseDevice(PKSDEVICE Device) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(APC_LEVEL, "KsReleaseDevice", caller);
    KsObjectEntry entry;
    if (!KsObjectTable::Find(Device, &entry) || entry.kind != KsObjectKind::Device) {
        KsRules::Report(Rule::KsObject, "KsReleaseDevice", caller, "not a live KSDEVICE");
        return;
    }
    if (!entry.device->Mutex().Release()) {
        KsRules::Report(Rule::KsObject, "KsReleaseDevice", caller,
                        "the device mutex was released by a thread that does not hold it");
    }
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsAddItemToObjectBag", caller);
    KsObjectBag* bag = KsObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr || Item == nullptr) {
        KsRules::Report(Rule::KsObject, "KsAddItemToObjectBag", caller,
                        bag == nullptr ? "not the bag of a live KS object" : "no item given");
        return STATUS_INVALID_PARAMETER;
    }
    CheckBagGuard(*bag, "KsAddItemToObjectBag", caller);
    if (host::KsFaults::ShouldFailBagInsertion(ObjectBag)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return bag->Add(Item, Free);
}

// The answer is the item's count of bags (ks/nf-ks-ksremoveitemfromobjectbag):
// 0 when it was not in the bag; 1 when it was removed and is now in none
// (freed if Free). An item is in one bag at a time here: the model has no
// call that shares an item between bags, so >1 never comes back.
ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsRemoveItemFromObjectBag", caller);
    KsObjectBag* bag = KsObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr) {
        KsRules::Report(Rule::KsObject, "KsRemoveItemFromObjectBag", caller,
                        "not the bag of a live KS object");
        return 0;
    }
    CheckBagGuard(*bag, "KsRemoveItemFromObjectBag", caller);
    PFNKSFREE free = nullptr;
    if (!bag->Remove(Item, &free)) {
        // Not in this bag: the documented answer, not a misuse.
        return 0;
    }
    if (Free) {
        // As the bag frees its items when its object closes.
        if (free != nullptr) {
            host::CallDriver(free, Item);
        } else {
            ExFreePool(Item);
        }
    }
    // The item's count of bags before the removal: it was in this one only.
    return 1;
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                 ULONG OldSize, ULONG Tag) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "_KsEdit", caller);
    KsObjectBag* bag = KsObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr || PointerToPointerToItem == nullptr) {
        KsRules::Report(Rule::KsObject, "_KsEdit", caller,
                        bag == nullptr ? "not the bag of a live KS object" : "no pointer given");
        return STATUS_INVALID_PARAMETER;
    }
    CheckBagGuard(*bag, "_KsEdit", caller);
    if (*PointerToPointerToItem != nullptr && bag->Contains(*PointerToPointerToItem)) {
        // Already the object's own copy: it may be written as it is. Asked
        // for more than the copy holds, the platform may leave it (no-op) or
        // make a larger copy (reallocate): a variant.
        host::PoolTracker::Block block{};
        const bool larger = host::PoolTracker::Instance().Find(*PointerToPointerToItem, &block) &&
                            NewSize > block.size;
        if (!larger || !Variants::Is(Variant::KsEditLarger, "reallocate")) {
            return STATUS_SUCCESS;
        }
        PVOID bigger = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize, Tag);
        if (bigger == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(bigger, *PointerToPointerToItem, block.size);
        std::memset(static_cast<UCHAR*>(bigger) + block.size, 0, NewSize - block.size);
        PFNKSFREE free = nullptr;
        bag->Remove(*PointerToPointerToItem, &free);
        if (free != nullptr) {
            free(*PointerToPointerToItem);
        } else {
            ExFreePool(*PointerToPointerToItem);
        }
        bag->Add(bigger, nullptr);
        *PointerToPointerToItem = bigger;
        return STATUS_SUCCESS;
    }
    // The copy is the driver's memory (pool, so the verifier's fault
    // injection and leak tracking reach it), owned by the bag.
    PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize, Tag);
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG copied = 0;
    if (*PointerToPointerToItem != nullptr) {
        copied = std::min(OldSize, NewSize);
        std::memcpy(copy, *PointerToPointerToItem, copied);
    }
    std::memset(static_cast<UCHAR*>(copy) + copied, 0, NewSize - copied);
    bag->Add(copy, nullptr);
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}

PKSDEVICE KsGetDevice(PVOID Object) {
    const void* caller = HOST_CALLER();
    // Documented for PASSIVE_LEVEL only; whether more is accepted is open
    // (variant ksgetdevice-above-passive).
    if (host::Variants::Is(host::Variant::KsGetDeviceAbovePassive, "flag")) {
        KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsGetDevice", caller);
    }
    KsObjectEntry entry;
    if (!KsObjectTable::Find(Object, &entry) ||
        entry.kind == KsObjectKind::FunctionalDeviceObject) {
        KsRules::Report(Rule::KsObject, "KsGetDevice", caller,
                        "not a live KSDEVICE, KSFILTERFACTORY, KSFILTER or KSPIN");
        return nullptr;
    }
    return entry.device->KsDevice();
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
    const void* caller = HOST_CALLER();
    KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsGetFilterFromIrp", caller);
    KsRequest* request = KsRequest::FromIrp(Irp);
    if (request == nullptr || request->Filter() == nullptr) {
        KsRules::Report(Rule::KsObject, "KsGetFilterFromIrp", caller,
                        "not an IRP of a request to a filter or pin");
        return nullptr;
    }
    return request->Filter()->KsFilter();
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    const void* caller = HOST_CALLER();
    // PASSIVE_LEVEL only (ks/nf-ks-kspingetreferenceclockinterface).
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsPinGetReferenceClockInterface", caller);
    KsObjectEntry entry;
    if (Interface == nullptr || !KsObjectTable::Find(Pin, &entry) ||
        entry.kind != KsObjectKind::Pin) {
        KsRules::Report(Rule::KsObject, "KsPinGetReferenceClockInterface", caller,
                        "not a live KSPIN, or no place for the interface");
        if (Interface != nullptr) {
            *Interface = nullptr;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return entry.pin->ReferenceClock(Interface);
}

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN) {
    const void* caller = HOST_CALLER();
    if (!KsRules::IrqlAtMost(DISPATCH_LEVEL, "KsPinAttemptProcessing", caller)) {
        return;
    }
    KsObjectEntry entry;
    if (!KsObjectTable::Find(Pin, &entry) || entry.kind != KsObjectKind::Pin) {
        KsRules::Report(Rule::KsObject, "KsPinAttemptProcessing", caller, "not a live KSPIN");
        return;
    }
    entry.pin->AttemptProcessing();
}

namespace {

// The pin object behind a driver's KSPIN, or nullptr after a report.
std::shared_ptr<host::ks::KsPinObject> LivePin(PKSPIN Pin, const char* routine,
                                               const void* caller) {
    using namespace host::ks;
    KsObjectEntry entry;
    if (!KsObjectTable::Find(Pin, &entry) || entry.kind != KsObjectKind::Pin) {
        KsRules::Report(Rule::KsObject, routine, caller, "not a live KSPIN");
        return nullptr;
    }
    return entry.pin;
}

}  // namespace

void KsPinAcquireProcessingMutex(PKSPIN Pin) {
    const void* caller = HOST_CALLER();
    if (auto pin = LivePin(Pin, "KsPinAcquireProcessingMutex", caller)) {
        pin->AcquireProcessingMutex(caller);
    }
}

void KsPinReleaseProcessingMutex(PKSPIN Pin) {
    const void* caller = HOST_CALLER();
    if (auto pin = LivePin(Pin, "KsPinReleaseProcessingMutex", caller)) {
        pin->ReleaseProcessingMutex(caller);
    }
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
    const void* caller = HOST_CALLER();
    auto pin = LivePin(Pin, "KsPinGetParentFilter", caller);
    return pin != nullptr ? pin->Filter()->KsFilter() : nullptr;
}
