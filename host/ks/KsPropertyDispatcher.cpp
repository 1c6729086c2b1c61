#include "host/loader/ImageBoundary.h"
#include "host/ks/KsPropertyDispatcher.h"

#include <host/ksmedia.h>

#include "host/ks/KsFilterObject.h"
#include "host/ks/KsGuid.h"
#include "host/ks/KsPinFactoryProperties.h"
#include "host/ks/KsRequest.h"
#include "host/ks/KsRules.h"
#include "host/variants/Variants.h"
#include "host/ks/KsStatus.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace host::ks {

namespace {

const KSPROPERTY_SET* FindSet(const KSAUTOMATION_TABLE* table, const GUID& set) {
    if (table == nullptr || table->PropertySets == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < table->PropertySetsCount; ++i) {
        const KSPROPERTY_SET& candidate = table->PropertySets[i];
        if (candidate.Set != nullptr && *candidate.Set == set) {
            return &candidate;
        }
    }
    return nullptr;
}

const KSPROPERTY_ITEM* FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY_SET* set,
                                ULONG id) {
    if (set->PropertyItem == nullptr) {
        return nullptr;
    }
    // Items may be larger than KSPROPERTY_ITEM: step by the table's size.
    size_t stride =
        table->PropertyItemSize != 0 ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
    const auto* base = reinterpret_cast<const UCHAR*>(set->PropertyItem);
    for (ULONG i = 0; i < set->PropertiesCount; ++i) {
        const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(base + stride * i);
        if (item->PropertyId == id) {
            return item;
        }
    }
    return nullptr;
}

// Success and warning statuses (STATUS_BUFFER_OVERFLOW) carry data back.
bool CarriesData(NTSTATUS status) {
    return (static_cast<ULONG>(status) & 0xC0000000u) != 0xC0000000u;
}

}  // namespace

NTSTATUS KsPropertyDispatcher::Dispatch(KsFilterObject* filter, const void* input,
                                        ULONG inputLength, void* output, ULONG outputLength,
                                        ULONG* returned) {
    *returned = 0;
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "IOCTL_KS_PROPERTY", __builtin_return_address(0));
    if (input == nullptr || inputLength < sizeof(KSPROPERTY)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (output == nullptr && outputLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    // The library's system buffers: exactly as long as the caller's, so a
    // handler that reads or writes past them is caught.
    std::unique_ptr<UCHAR[]> in(new UCHAR[inputLength]);
    std::memcpy(in.get(), input, inputLength);
    std::unique_ptr<UCHAR[]> data(outputLength != 0 ? new UCHAR[outputLength] : nullptr);
    if (outputLength != 0) {
        std::memcpy(data.get(), output, outputLength);
    }
    auto* property = reinterpret_cast<PKSPROPERTY>(in.get());
    const ULONG operation = property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    const bool support = (property->Flags & KSPROPERTY_TYPE_BASICSUPPORT) != 0;

    KsRequest request(IRP_MJ_DEVICE_CONTROL, filter, nullptr);
    request.SetDeviceIoControl(IOCTL_KS_PROPERTY, inputLength, outputLength, in.get());
    PIRP irp = request.Irp();
    irp->AssociatedIrp = data.get();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;

    NTSTATUS status;
    ULONG_PTR information = 0;
    const KSAUTOMATION_TABLE* table = filter->Descriptor()->AutomationTable;
    const KSPROPERTY_SET* set = FindSet(table, property->Set);
    static const GUID pinSet = KsGuid(STATIC_KSPROPSETID_Pin);
    if (set != nullptr) {
        const KSPROPERTY_ITEM* item = FindItem(table, set, property->Id);
        if (item == nullptr) {
            return STATUS_NOT_FOUND;
        }
        ULONG minProperty = std::max<ULONG>(item->MinProperty, sizeof(KSPROPERTY));
        if (operation == 0 && support && inputLength >= minProperty) {
            // Basic support is the class library's to answer, from the item
            // (ks/ns-ks-ksproperty_item, ks/ns-ks-ksidentifier): a ULONG gets
            // the access flags, a KSPROPERTY_DESCRIPTION the header.
            const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT |
                                 (item->GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                                 (item->SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
            if (outputLength >= sizeof(KSPROPERTY_DESCRIPTION)) {
                KSPROPERTY_DESCRIPTION description{};
                description.AccessFlags = access;
                description.DescriptionSize = sizeof description;
                std::memcpy(output, &description, sizeof description);
                *returned = sizeof description;
                return STATUS_SUCCESS;
            }
            if (outputLength >= sizeof(ULONG)) {
                std::memcpy(output, &access, sizeof access);
                *returned = sizeof access;
                return STATUS_SUCCESS;
            }
            if (outputLength == 0) {
                *returned = sizeof(KSPROPERTY_DESCRIPTION);
                return STATUS_BUFFER_OVERFLOW;
            }
            return STATUS_BUFFER_TOO_SMALL;
        }
        PFNKSHANDLER handler;
        if (operation == KSPROPERTY_TYPE_GET && !support) {
            handler = item->GetPropertyHandler;
        } else if (operation == KSPROPERTY_TYPE_SET && !support) {
            handler = item->SetPropertyHandler;
        } else if (operation == 0 && support) {
            handler = item->SupportHandler;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        if (handler == nullptr) {
            return STATUS_NOT_FOUND;
        }
        if (inputLength < minProperty) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (!support && outputLength < item->MinData) {
            // 0 < length < MinData: BUFFER_TOO_SMALL, or (short-data-status
            // as-zero-length) answered as a length of 0.
            if (outputLength == 0 || Variants::Is(Variant::ShortDataStatus, "as-zero-length")) {
                *returned = item->MinData;
                return STATUS_BUFFER_OVERFLOW;
            }
            return STATUS_BUFFER_TOO_SMALL;
        }
        status = CallDriver(handler, irp, property, data.get());
        if (status == STATUS_PENDING) {
            KsRules::Report(Rule::KsObject, "property handler",
                            KsRules::RoutineSite(reinterpret_cast<const void*>(handler)),
                            "returned STATUS_PENDING; the host completes property requests "
                            "synchronously");
            status = STATUS_UNSUCCESSFUL;
        }
        information = irp->IoStatus.Information;
    } else if (property->Set == pinSet) {
        status = KsPinFactoryProperties::Handle(filter, irp, in.get(), inputLength, data.get(),
                                                outputLength, &information);
    } else {
        // An unknown set: STATUS_PROPSET_NOT_FOUND, or STATUS_NOT_FOUND
        // (unknown-set-status not-found).
        return Variants::Is(Variant::UnknownSetStatus, "not-found") ? STATUS_NOT_FOUND
                                                                    : STATUS_PROPSET_NOT_FOUND;
    }

    if (operation != KSPROPERTY_TYPE_SET && CarriesData(status) && outputLength != 0) {
        std::memcpy(output, data.get(), std::min<ULONG_PTR>(information, outputLength));
    }
    *returned = static_cast<ULONG>(information);
    return status;
}

}  // namespace host::ks
