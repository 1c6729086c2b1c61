#include "host/loader/ImageBoundary.h"
#include "host/ks/KsDeviceObject.h"

#include "host/ks/KsClientCall.h"
#include "host/ks/KsDriverRecord.h"
#include "host/ks/KsFaults.h"
#include "host/ks/KsFilterFactoryObject.h"
#include "host/ks/KsFilterObject.h"
#include "host/ks/KsObjectTable.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsRequest.h"
#include "host/ks/KsRules.h"
#include "host/ks/KsStatus.h"
#include "host/variants/Variants.h"

#include <cstdio>
#include <cstring>

namespace host::ks {

namespace {

// The reference string KS derives from a descriptor's ReferenceGuid when the
// driver gives none: the GUID in registry form.
std::u16string GuidString(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    std::u16string out;
    for (const char* c = text; *c != '\0'; ++c) {
        out.push_back(static_cast<char16_t>(*c));
    }
    return out;
}

// The driver's PnP routines never pend on the host: the request is completed
// by the class library when the routine returns.
NTSTATUS CheckNotPending(NTSTATUS status, const char* routine, const void* code) {
    if (status == STATUS_PENDING) {
        KsRules::Report(Rule::KsObject, routine, KsRules::RoutineSite(code),
                        "returned STATUS_PENDING; the request must be completed synchronously");
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

}  // namespace

KsDeviceObject::KsDeviceObject(const KSDEVICE_DESCRIPTOR* descriptor)
    : bag_("device"), started_(false), removed_(false) {
    std::memset(&functionalDevice_, 0, sizeof functionalDevice_);
    std::memset(&physicalDevice_, 0, sizeof physicalDevice_);
    functionalDevice_.Size = sizeof(DEVICE_OBJECT);
    functionalDevice_.HostDevice = this;
    physicalDevice_.Size = sizeof(DEVICE_OBJECT);
    std::memset(&ksDevice_, 0, sizeof ksDevice_);
    ksDevice_.Descriptor = descriptor;
    ksDevice_.Bag = bag_.Handle();
    ksDevice_.Context = nullptr;
    ksDevice_.FunctionalDeviceObject = &functionalDevice_;
    ksDevice_.PhysicalDeviceObject = &physicalDevice_;
    ksDevice_.NextDeviceObject = &physicalDevice_;
    ksDevice_.Started = FALSE;
    ksDevice_.SystemPowerState = PowerSystemWorking;
    ksDevice_.DevicePowerState = PowerDeviceD0;
    KsObjectEntry entry;
    entry.kind = KsObjectKind::Device;
    entry.device = this;
    KsObjectTable::Add(&ksDevice_, entry);
    entry.kind = KsObjectKind::FunctionalDeviceObject;
    KsObjectTable::Add(&functionalDevice_, entry);
    bag_.SetGuard("the device mutex", [this] { return mutex_.HeldByCurrentThread(); });
}

// Holds the device mutex for a scope on the class library's behalf, as it
// does around the requests the documentation lists.
class KsDeviceObject::PlatformHold {
  public:
    PlatformHold(KsDeviceMutex& mutex, bool hold) : mutex_(hold ? &mutex : nullptr) {
        if (mutex_ != nullptr) {
            mutex_->Acquire();
        }
    }
    ~PlatformHold() {
        if (mutex_ != nullptr) {
            mutex_->Release();
        }
    }
    PlatformHold(const PlatformHold&) = delete;
    PlatformHold& operator=(const PlatformHold&) = delete;

  private:
    KsDeviceMutex* mutex_;
};

KsDeviceObject::~KsDeviceObject() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (!removed_.load()) {
        RemoveLocked(true);
    }
}

const KSDEVICE_DISPATCH* KsDeviceObject::Dispatch() const {
    return ksDevice_.Descriptor != nullptr ? ksDevice_.Descriptor->Dispatch : nullptr;
}

NTSTATUS KsDeviceObject::Add(KsDriverRecord* driver, std::unique_ptr<KsDeviceObject>* device) {
    KsClientCall call;
    device->reset();
    if (driver == nullptr || !driver->Initialized()) {
        // DriverEntry never registered with the class library: it has no
        // AddDevice routine to run.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::unique_ptr<KsDeviceObject> made(new KsDeviceObject(driver->Descriptor()));
    const KSDEVICE_DISPATCH* dispatch = made->Dispatch();
    // Filter factories the descriptor lists live as long as the device; when
    // they are made, before Add (their Context NULL) or after, is open.
    const bool factoriesFirst = Variants::Is(Variant::DescriptorFactories, "before-add");
    if (factoriesFirst) {
        made->CreateDescriptorFactories();
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->Add != nullptr) {
        status = CheckNotPending(CallDriver(dispatch->Add, made->KsDevice()), "device Add",
                                 reinterpret_cast<const void*>(dispatch->Add));
    }
    if (!NT_SUCCESS(status)) {
        // The device fails: nothing of it survives, its bag included. The
        // driver's Remove is not called for a device whose Add failed.
        made->removed_.store(true);
        KsObjectTable::Remove(&made->ksDevice_);
        KsObjectTable::Remove(&made->functionalDevice_);
        made->bag_.FreeAll();
        return status;
    }
    if (!factoriesFirst) {
        made->CreateDescriptorFactories();
    }
    *device = std::move(made);
    return STATUS_SUCCESS;
}

void KsDeviceObject::CreateDescriptorFactories() {
    const KSDEVICE_DESCRIPTOR* descriptor = ksDevice_.Descriptor;
    if (descriptor != nullptr && descriptor->FilterDescriptors != nullptr) {
        for (ULONG i = 0; i < descriptor->FilterDescriptorsCount; ++i) {
            CreateFilterFactory(descriptor->FilterDescriptors[i], nullptr, 0, nullptr);
        }
    }
}

NTSTATUS KsDeviceObject::Start() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (removed_.load()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    bool wasStarted = ksDevice_.Started != FALSE;
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    // Whether the class library holds the device mutex around Start and
    // PostStart, and when it sets Started, are open (variants).
    const bool held = Variants::Is(Variant::DeviceMutexAtStart, "held");
    const bool startedBefore = Variants::Is(Variant::StartedFlag, "before-start");
    const bool startedAfterStart = Variants::Is(Variant::StartedFlag, "after-start");
    if (!wasStarted && startedBefore) {
        SetStarted(true);
    }
    KsRequest request(IRP_MJ_PNP, nullptr, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->Start != nullptr) {
        PlatformHold hold(mutex_, held);
        // A virtual device: no resources are assigned, both lists are NULL.
        status = CheckNotPending(
            CallDriver(dispatch->Start, &ksDevice_, request.Irp(), nullptr, nullptr),
            "device Start", reinterpret_cast<const void*>(dispatch->Start));
    }
    if (!NT_SUCCESS(status)) {
        if (!wasStarted) {
            // A failed start leaves nothing started behind: factories it made
            // to go at stop go now.
            SetStarted(false);
            FreeFactories(true);
        }
        return status;
    }
    if (startedAfterStart) {
        SetStarted(true);
    }
    if (!wasStarted && dispatch != nullptr && dispatch->PostStart != nullptr) {
        PlatformHold hold(mutex_, held);
        status = CheckNotPending(CallDriver(dispatch->PostStart, &ksDevice_), "device PostStart",
                                 reinterpret_cast<const void*>(dispatch->PostStart));
    }
    // Set at the latest now: a failed PostStart fails creates through the
    // factories, not the start (it is not modelled further here).
    SetStarted(true);
    return status;
}

void KsDeviceObject::SetStarted(bool started) {
    ksDevice_.Started = started ? TRUE : FALSE;
    started_.store(started);
}

void KsDeviceObject::StopLocked() {
    // A device that stops is no longer asleep: its next start is a fresh one.
    asleep_ = false;
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    KsRequest request(IRP_MJ_PNP, nullptr, nullptr);
    if (dispatch != nullptr && dispatch->Stop != nullptr) {
        CallDriver(dispatch->Stop, &ksDevice_, request.Irp());
    }
    SetStarted(false);
    FreeFactories(true);
}

std::vector<std::shared_ptr<KsPinObject>> KsDeviceObject::OpenPins() {
    std::vector<std::shared_ptr<KsFilterObject>> filters;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        filters = filters_;
    }
    std::vector<std::shared_ptr<KsPinObject>> pins;
    for (const auto& filter : filters) {
        for (auto& pin : filter->OpenPins()) {
            pins.push_back(std::move(pin));
        }
    }
    return pins;
}

// With pnpMutex_ and the device mutex held.
void KsDeviceObject::SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    if (dispatch != nullptr && dispatch->SetPower != nullptr) {
        KsRequest request(IRP_MJ_POWER, nullptr, nullptr);
        CallDriver(dispatch->SetPower, &ksDevice_, request.Irp(), to, from);
    }
}

NTSTATUS KsDeviceObject::Sleep() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (removed_.load() || ksDevice_.Started == FALSE || asleep_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PlatformHold hold(mutex_, true);
    for (const auto& pin : OpenPins()) {
        pin->Sleep();
    }
    SetPower(PowerDeviceD3, PowerDeviceD0);
    asleep_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS KsDeviceObject::Wake() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (!asleep_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    asleep_ = false;
    PlatformHold hold(mutex_, true);
    SetPower(PowerDeviceD0, PowerDeviceD3);
    NTSTATUS status = STATUS_SUCCESS;
    for (const auto& pin : OpenPins()) {
        const NTSTATUS woken = pin->Wake();
        if (NT_SUCCESS(status) && !NT_SUCCESS(woken)) {
            status = woken;
        }
    }
    return status;
}

NTSTATUS KsDeviceObject::Stop() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (removed_.load() || ksDevice_.Started == FALSE) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (OpenFilterCount() != 0) {
        // Open handles veto the stop.
        return STATUS_INVALID_DEVICE_STATE;
    }
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    if (dispatch != nullptr && dispatch->QueryStop != nullptr) {
        KsRequest query(IRP_MJ_PNP, nullptr, nullptr);
        NTSTATUS status =
            CheckNotPending(CallDriver(dispatch->QueryStop, &ksDevice_, query.Irp()),
                            "device QueryStop", reinterpret_cast<const void*>(dispatch->QueryStop));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    StopLocked();
    return STATUS_SUCCESS;
}

NTSTATUS KsDeviceObject::Remove() {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (removed_.load()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return RemoveLocked(false);
}

NTSTATUS KsDeviceObject::RemoveLocked(bool force) {
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    if (!force) {
        if (OpenFilterCount() != 0) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        if (dispatch != nullptr && dispatch->QueryRemove != nullptr) {
            KsRequest query(IRP_MJ_PNP, nullptr, nullptr);
            NTSTATUS status = CheckNotPending(
                CallDriver(dispatch->QueryRemove, &ksDevice_, query.Irp()), "device QueryRemove",
                reinterpret_cast<const void*>(dispatch->QueryRemove));
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    } else {
        // Teardown of a device whose client went away: its handles go first.
        std::vector<std::shared_ptr<KsFilterObject>> open;
        {
            std::lock_guard<std::mutex> lock(listMutex_);
            open.swap(filters_);
        }
        for (const auto& filter : open) {
            PlatformHold hold(mutex_, true);
            filter->Close();
        }
    }
    if (ksDevice_.Started != FALSE) {
        StopLocked();
    }
    if (dispatch != nullptr && dispatch->Remove != nullptr) {
        KsRequest request(IRP_MJ_PNP, nullptr, nullptr);
        CallDriver(dispatch->Remove, &ksDevice_, request.Irp());
    }
    FreeFactories(false);
    removed_.store(true);
    KsObjectTable::Remove(&ksDevice_);
    KsObjectTable::Remove(&functionalDevice_);
    bag_.FreeAll();
    return STATUS_SUCCESS;
}

void KsDeviceObject::FreeFactories(bool onlyFreeOnStop) {
    std::vector<std::unique_ptr<KsFilterFactoryObject>> gone;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        for (auto it = factories_.begin(); it != factories_.end();) {
            if (!onlyFreeOnStop || (*it)->FreeOnStop()) {
                gone.push_back(std::move(*it));
                it = factories_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Destroyed without the list lock: freeing a bag runs driver code.
    gone.clear();
}

size_t KsDeviceObject::OpenFilterCount() {
    std::lock_guard<std::mutex> lock(listMutex_);
    return filters_.size();
}

std::vector<KsInterfaceInfo> KsDeviceObject::Interfaces() {
    std::vector<KsInterfaceInfo> interfaces;
    if (!started_.load()) {
        return interfaces;
    }
    std::lock_guard<std::mutex> lock(listMutex_);
    for (const auto& factory : factories_) {
        for (const GUID& category : factory->Categories()) {
            interfaces.push_back(KsInterfaceInfo{category, factory->ReferenceString()});
        }
    }
    return interfaces;
}

NTSTATUS KsDeviceObject::OpenFilter(const GUID& category, const std::u16string* referenceString,
                                    std::shared_ptr<KsFilterObject>* filter) {
    KsClientCall call;
    filter->reset();
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    if (removed_.load()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (ksDevice_.Started == FALSE) {
        return STATUS_DEVICE_NOT_READY;
    }
    KsFilterFactoryObject* factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        for (const auto& candidate : factories_) {
            if (candidate->HasCategory(category) &&
                (referenceString == nullptr || candidate->ReferenceString() == *referenceString)) {
                factory = candidate.get();
                break;
            }
        }
    }
    if (factory == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto made = std::make_shared<KsFilterObject>(this, factory);
    NTSTATUS status;
    {
        // The class library holds the device mutex around filter Create.
        PlatformHold hold(mutex_, true);
        status = made->Create();
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        filters_.push_back(made);
    }
    *filter = std::move(made);
    return STATUS_SUCCESS;
}

void KsDeviceObject::CloseFilter(const std::shared_ptr<KsFilterObject>& filter) {
    KsClientCall call;
    std::lock_guard<std::mutex> pnp(pnpMutex_);
    {
        // ... and around filter Close (the pins close first, inside it).
        PlatformHold hold(mutex_, true);
        filter->Close();
    }
    std::lock_guard<std::mutex> lock(listMutex_);
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
        if (*it == filter) {
            filters_.erase(it);
            break;
        }
    }
}

KsDeviceObject* KsDeviceObject::FromDeviceObject(PDEVICE_OBJECT deviceObject) {
    KsObjectEntry entry;
    if (deviceObject == nullptr || !KsObjectTable::Find(deviceObject, &entry) ||
        entry.kind != KsObjectKind::FunctionalDeviceObject) {
        return nullptr;
    }
    return entry.device;
}

NTSTATUS KsDeviceObject::CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor,
                                             PCWSTR referenceString, ULONG createItemFlags,
                                             PKSFILTERFACTORY* factory) {
    if (factory != nullptr) {
        *factory = nullptr;
    }
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KsFaults::ShouldFailFilterFactory()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string reference;
    if (referenceString != nullptr) {
        reference = referenceString;
    } else if (descriptor->ReferenceGuid != nullptr) {
        reference = GuidString(*descriptor->ReferenceGuid);
    }
    auto made = std::make_unique<KsFilterFactoryObject>(this, descriptor, std::move(reference),
                                                        createItemFlags);
    if (factory != nullptr) {
        *factory = made->KsFactory();
    }
    std::lock_guard<std::mutex> lock(listMutex_);
    factories_.push_back(std::move(made));
    return STATUS_SUCCESS;
}

}  // namespace host::ks
