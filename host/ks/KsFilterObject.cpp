#include "host/loader/ImageBoundary.h"
#include "host/ks/KsFilterObject.h"

#include "host/ks/KsCallbackDeadline.h"
#include "host/ks/KsClientCall.h"
#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsFilterFactoryObject.h"
#include "host/ks/KsObjectTable.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsPropertyDispatcher.h"
#include "host/ks/KsRequest.h"
#include "host/ks/KsRules.h"
#include "host/ks/KsStatus.h"

namespace host::ks {

KsFilterObject::KsFilterObject(KsDeviceObject* device, KsFilterFactoryObject* factory)
    : device_(device), factory_(factory), bag_("filter"), created_(false), closed_(false) {
    bag_.SetGuard("the filter control mutex", [this] { return ControlMutexHeldByCurrentThread(); });
    ksFilter_.Descriptor = factory->Descriptor();
    ksFilter_.Bag = bag_.Handle();
    // A new filter starts with its factory's Context (ks/ns-ks-_ksfilter).
    ksFilter_.Context = factory->KsFactory()->Context;
}

KsFilterObject::~KsFilterObject() {
    Close();
}

NTSTATUS KsFilterObject::Create() {
    // The platform holds the filter control mutex around the driver's Create.
    std::lock_guard<KsControlMutex> control(controlMutex_);
    KsObjectEntry entry;
    entry.kind = KsObjectKind::Filter;
    entry.device = device_;
    entry.filter = this;
    KsObjectTable::Add(&ksFilter_, entry);
    NTSTATUS status = STATUS_SUCCESS;
    const KSFILTER_DISPATCH* dispatch = Descriptor()->Dispatch;
    if (dispatch != nullptr && dispatch->Create != nullptr) {
        KsRequest request(IRP_MJ_CREATE, this, nullptr);
        {
            KsCallbackDeadline deadline("filter Create",
                                        reinterpret_cast<const void*>(dispatch->Create));
            status = CallDriver(dispatch->Create, &ksFilter_, request.Irp());
        }
        if (status == STATUS_PENDING) {
            KsRules::Report(Rule::KsObject, "filter Create",
                            KsRules::RoutineSite(reinterpret_cast<const void*>(dispatch->Create)),
                            "returned STATUS_PENDING; the host completes creates synchronously");
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(status)) {
        // The failed filter is deleted: its bag (and whatever the driver put
        // there before failing) is freed; Close is not called.
        KsObjectTable::Remove(&ksFilter_);
        bag_.FreeAll();
        closed_.store(true);
        return status;
    }
    created_.store(true);
    return STATUS_SUCCESS;
}

void KsFilterObject::Close() {
    if (closed_.exchange(true)) {
        return;
    }
    KsClientCall call;
    std::lock_guard<KsControlMutex> control(controlMutex_);
    std::vector<std::shared_ptr<KsPinObject>> pins;
    {
        std::lock_guard<std::mutex> lock(pinsMutex_);
        pins.swap(pins_);
    }
    for (const auto& pin : pins) {
        pin->Close();
    }
    const KSFILTER_DISPATCH* dispatch = Descriptor()->Dispatch;
    if (created_.load() && dispatch != nullptr && dispatch->Close != nullptr) {
        KsRequest request(IRP_MJ_CLOSE, this, nullptr);
        KsCallbackDeadline deadline("filter Close", reinterpret_cast<const void*>(dispatch->Close));
        CallDriver(dispatch->Close, &ksFilter_, request.Irp());
    }
    KsObjectTable::Remove(&ksFilter_);
    bag_.FreeAll();
}

ULONG KsFilterObject::PinFactoryCount() const {
    return Descriptor()->PinDescriptors != nullptr ? Descriptor()->PinDescriptorsCount : 0;
}

const KSPIN_DESCRIPTOR_EX* KsFilterObject::PinFactory(ULONG pinId) const {
    if (pinId >= PinFactoryCount()) {
        return nullptr;
    }
    // Descriptors may be larger than KSPIN_DESCRIPTOR_EX: step by the size
    // the descriptor declares.
    ULONG stride = Descriptor()->PinDescriptorSize != 0 ? Descriptor()->PinDescriptorSize
                                                        : sizeof(KSPIN_DESCRIPTOR_EX);
    const auto* base = reinterpret_cast<const UCHAR*>(Descriptor()->PinDescriptors);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(base + static_cast<size_t>(stride) * pinId);
}

std::vector<std::shared_ptr<KsPinObject>> KsFilterObject::OpenPins() {
    std::lock_guard<std::mutex> lock(pinsMutex_);
    return pins_;
}

ULONG KsFilterObject::PinInstances(ULONG pinId) {
    std::lock_guard<std::mutex> lock(pinsMutex_);
    ULONG count = 0;
    for (const auto& pin : pins_) {
        if (pin->Id() == pinId) {
            ++count;
        }
    }
    return count;
}

NTSTATUS KsFilterObject::Property(const void* input, ULONG inputLength, void* output,
                                  ULONG outputLength, ULONG* returned) {
    KsClientCall call;
    if (closed_.load()) {
        *returned = 0;
        return STATUS_INVALID_HANDLE;
    }
    return KsPropertyDispatcher::Dispatch(this, input, inputLength, output, outputLength, returned);
}

NTSTATUS KsFilterObject::CreatePin(ULONG pinId, const void* format, ULONG formatLength,
                                   const KsPinOptions& options, std::shared_ptr<KsPinObject>* pin) {
    KsClientCall call;
    pin->reset();
    std::lock_guard<KsControlMutex> control(controlMutex_);
    if (closed_.load()) {
        return STATUS_INVALID_HANDLE;
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = PinFactory(pinId);
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // InstancesPossible is enforced per filter, before anything is built.
    if (PinInstances(pinId) >= descriptor->InstancesPossible) {
        return STATUS_QUOTA_EXCEEDED;
    }
    std::shared_ptr<KsPinObject> made;
    NTSTATUS status =
        KsPinObject::Create(this, pinId, descriptor, format, formatLength, options, &made);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(pinsMutex_);
        pins_.push_back(made);
    }
    *pin = std::move(made);
    return STATUS_SUCCESS;
}

void KsFilterObject::ClosePin(const std::shared_ptr<KsPinObject>& pin) {
    KsClientCall call;
    std::lock_guard<KsControlMutex> control(controlMutex_);
    pin->Close();
    std::lock_guard<std::mutex> lock(pinsMutex_);
    for (auto it = pins_.begin(); it != pins_.end(); ++it) {
        if (*it == pin) {
            pins_.erase(it);
            break;
        }
    }
}

}  // namespace host::ks
