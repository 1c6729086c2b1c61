#include "host/loader/ImageBoundary.h"
#include "host/ks/KsPinFactoryProperties.h"

#include "host/ks/KsFilterObject.h"
#include "host/ks/KsRules.h"

#include <cstring>
#include <memory>
#include <vector>

namespace host::ks {

namespace {

const GUID kWildcard = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

bool GuidPairs(const GUID& a, const GUID& b) {
    return a == b || a == kWildcard || b == kWildcard;
}

ULONG AlignUp8(ULONG value) {
    return (value + 7u) & ~7u;
}

NTSTATUS Answer(const void* value, ULONG size, UCHAR* data, ULONG dataLength,
                ULONG_PTR* information) {
    if (dataLength == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (dataLength < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, value, size);
    *information = size;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerRanges(ULONG count, const PKSDATARANGE* ranges, UCHAR* data, ULONG dataLength,
                      ULONG_PTR* information) {
    std::vector<UCHAR> answer(sizeof(KSMULTIPLE_ITEM), 0);
    for (ULONG i = 0; i < count; ++i) {
        const KSDATARANGE* range = ranges[i];
        size_t at = answer.size();
        answer.resize(at + AlignUp8(range->FormatSize), 0);
        std::memcpy(answer.data() + at, range, range->FormatSize);
    }
    KSMULTIPLE_ITEM header;
    header.Size = static_cast<ULONG>(answer.size());
    header.Count = count;
    std::memcpy(answer.data(), &header, sizeof header);
    return Answer(answer.data(), static_cast<ULONG>(answer.size()), data, dataLength, information);
}

}  // namespace

bool KsPinFactoryProperties::Pairs(const KSDATARANGE& a, const KSDATARANGE& b) {
    return GuidPairs(a.MajorFormat, b.MajorFormat) && GuidPairs(a.SubFormat, b.SubFormat) &&
           GuidPairs(a.Specifier, b.Specifier);
}

NTSTATUS KsPinFactoryProperties::Handle(KsFilterObject* filter, PIRP irp, UCHAR* input,
                                        ULONG inputLength, UCHAR* data, ULONG dataLength,
                                        ULONG_PTR* information) {
    KSPROPERTY property;
    std::memcpy(&property, input, sizeof property);
    if ((property.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET |
                           KSPROPERTY_TYPE_BASICSUPPORT)) != KSPROPERTY_TYPE_GET) {
        return STATUS_NOT_FOUND;
    }
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
        ULONG count = filter->PinFactoryCount();
        return Answer(&count, sizeof count, data, dataLength, information);
    }
    switch (property.Id) {
        case KSPROPERTY_PIN_CINSTANCES:
        case KSPROPERTY_PIN_NECESSARYINSTANCES:
        case KSPROPERTY_PIN_DATAFLOW:
        case KSPROPERTY_PIN_COMMUNICATION:
        case KSPROPERTY_PIN_CATEGORY:
        case KSPROPERTY_PIN_DATARANGES:
        case KSPROPERTY_PIN_DATAINTERSECTION:
            break;
        default:
            return STATUS_NOT_FOUND;
    }
    if (inputLength < sizeof(KSP_PIN)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSP_PIN request;
    std::memcpy(&request, input, sizeof request);
    const KSPIN_DESCRIPTOR_EX* pin = filter->PinFactory(request.PinId);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (property.Id) {
        case KSPROPERTY_PIN_CINSTANCES: {
            KSPIN_CINSTANCES instances;
            instances.PossibleCount = pin->InstancesPossible;
            instances.CurrentCount = filter->PinInstances(request.PinId);
            return Answer(&instances, sizeof instances, data, dataLength, information);
        }
        case KSPROPERTY_PIN_NECESSARYINSTANCES: {
            ULONG necessary = pin->InstancesNecessary;
            return Answer(&necessary, sizeof necessary, data, dataLength, information);
        }
        case KSPROPERTY_PIN_DATAFLOW: {
            ULONG flow = static_cast<ULONG>(pin->PinDescriptor.DataFlow);
            return Answer(&flow, sizeof flow, data, dataLength, information);
        }
        case KSPROPERTY_PIN_COMMUNICATION: {
            ULONG communication = static_cast<ULONG>(pin->PinDescriptor.Communication);
            return Answer(&communication, sizeof communication, data, dataLength, information);
        }
        case KSPROPERTY_PIN_CATEGORY:
            if (pin->PinDescriptor.Category == nullptr) {
                return STATUS_NOT_FOUND;
            }
            return Answer(pin->PinDescriptor.Category, sizeof(GUID), data, dataLength, information);
        case KSPROPERTY_PIN_DATARANGES:
            return AnswerRanges(
                pin->PinDescriptor.DataRanges != nullptr ? pin->PinDescriptor.DataRangesCount : 0,
                pin->PinDescriptor.DataRanges, data, dataLength, information);
        default:
            return Intersect(filter, irp, input, inputLength, pin, data, dataLength, information);
    }
}

NTSTATUS KsPinFactoryProperties::Intersect(KsFilterObject* filter, PIRP irp, UCHAR* input,
                                           ULONG inputLength, const KSPIN_DESCRIPTOR_EX* pin,
                                           UCHAR* data, ULONG dataLength, ULONG_PTR* information) {
    const ULONG itemOffset = sizeof(KSP_PIN);
    if (inputLength < itemOffset + sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, input + itemOffset, sizeof item);
    if (item.Size < sizeof(KSMULTIPLE_ITEM) || item.Size > inputLength - itemOffset) {
        return STATUS_INVALID_PARAMETER;
    }
    // Each caller range in a block of exactly its FormatSize bytes.
    std::vector<std::unique_ptr<UCHAR[]>> callerRanges;
    const ULONG end = itemOffset + item.Size;
    ULONG offset = itemOffset + sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < item.Count; ++i) {
        if (offset > end || end - offset < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_PARAMETER;
        }
        KSDATARANGE header;
        std::memcpy(&header, input + offset, sizeof header);
        if (header.FormatSize < sizeof(KSDATARANGE) || header.FormatSize > end - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        std::unique_ptr<UCHAR[]> copy(new UCHAR[header.FormatSize]);
        std::memcpy(copy.get(), input + offset, header.FormatSize);
        callerRanges.push_back(std::move(copy));
        offset += AlignUp8(header.FormatSize);
    }

    PFNKSINTERSECTHANDLEREX handler = pin->IntersectHandler;
    const ULONG pinRangeCount =
        pin->PinDescriptor.DataRanges != nullptr ? pin->PinDescriptor.DataRangesCount : 0;
    if (handler == nullptr) {
        return STATUS_NO_MATCH;
    }
    for (const auto& callerRange : callerRanges) {
        auto* range = reinterpret_cast<PKSDATARANGE>(callerRange.get());
        for (ULONG j = 0; j < pinRangeCount; ++j) {
            PKSDATARANGE own = pin->PinDescriptor.DataRanges[j];
            if (!Pairs(*range, *own)) {
                continue;
            }
            ULONG dataSize = 0;
            NTSTATUS status =
                CallDriver(handler, filter->KsFilter(), irp, reinterpret_cast<PKSP_PIN>(input),
                           range, own, dataLength, dataLength != 0 ? data : nullptr, &dataSize);
            if (status == STATUS_NO_MATCH) {
                continue;
            }
            if (status == STATUS_PENDING) {
                KsRules::Report(Rule::KsObject, "intersect handler",
                                KsRules::RoutineSite(reinterpret_cast<const void*>(handler)),
                                "returned STATUS_PENDING");
                return STATUS_UNSUCCESSFUL;
            }
            if (NT_SUCCESS(status) && dataSize > dataLength) {
                KsRules::Report(Rule::KsObject, "intersect handler",
                                KsRules::RoutineSite(reinterpret_cast<const void*>(handler)),
                                "reported success with a DataSize beyond the data buffer");
                dataSize = dataLength;
            }
            if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
                *information = dataSize;
            }
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

}  // namespace host::ks
