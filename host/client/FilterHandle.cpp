#include "host/client/FilterHandle.h"

#include <host/ksmedia.h>

#include "host/client/PinHandle.h"
#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsGuid.h"
#include "host/ks/KsFilterObject.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsStatus.h"

#include <cstring>

namespace host {

namespace {

const GUID kPinSet = ks::KsGuid(STATIC_KSPROPSETID_Pin);

ULONG AlignUp8(size_t value) {
    return static_cast<ULONG>((value + 7) & ~static_cast<size_t>(7));
}

// KSPIN_CONNECT on x64: Interface (KSIDENTIFIER, 24 bytes), Medium (24),
// PinId at 48, PinToHandle at 56, Priority (two ULONGs) at 64; the format
// follows at 72. The host headers have no KSPIN_CONNECT of their own.
constexpr ULONG kConnectMedium = 24;
constexpr ULONG kConnectPinId = 48;
constexpr ULONG kConnectSize = 72;
const GUID kInterfaceStandard = {
    0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const GUID kMediumStandard = {
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// Set and Id match; Flags are not part of the match.
bool Listed(const KSIDENTIFIER& wanted, ULONG count, const KSIDENTIFIER* list,
            const GUID& defaultSet) {
    if (count == 0 || list == nullptr) {
        return wanted.Set == defaultSet && wanted.Id == 0;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (list[i].Set == wanted.Set && list[i].Id == wanted.Id) {
            return true;
        }
    }
    return false;
}

KSP_PIN PinRequest(ULONG pinId, ULONG id) {
    KSP_PIN request;
    std::memset(&request, 0, sizeof request);
    request.Property.Set = kPinSet;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    return request;
}

}  // namespace

FilterHandle::FilterHandle(ks::KsDeviceObject* device, std::shared_ptr<ks::KsFilterObject> filter)
    : device_(device), filter_(std::move(filter)) {}

FilterHandle::~FilterHandle() {
    Close();
}

NTSTATUS FilterHandle::Close() {
    if (filter_->Closed()) {
        return STATUS_INVALID_HANDLE;
    }
    device_->CloseFilter(filter_);
    return STATUS_SUCCESS;
}

NTSTATUS FilterHandle::Ioctl(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                             ULONG* returned) {
    ULONG ignored = 0;
    return filter_->Property(input, inputLength, output, outputLength,
                             returned != nullptr ? returned : &ignored);
}

NTSTATUS FilterHandle::GetProperty(const GUID& set, ULONG id, void* data, ULONG length,
                                   ULONG* returned) {
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return Ioctl(&property, sizeof property, data, length, returned);
}

NTSTATUS FilterHandle::SetProperty(const GUID& set, ULONG id, const void* data, ULONG length,
                                   ULONG* returned) {
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_SET;
    // The data of a set is only read: the library copies it into its own
    // buffer before the handler runs and copies nothing back.
    return Ioctl(&property, sizeof property, const_cast<void*>(data), length, returned);
}

NTSTATUS FilterHandle::GetPinProperty(ULONG pinId, ULONG id, void* data, ULONG length,
                                      ULONG* returned) {
    KSP_PIN request = PinRequest(pinId, id);
    return Ioctl(&request, sizeof request, data, length, returned);
}

NTSTATUS FilterHandle::GetPinFactoryCount(ULONG* count) {
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = kPinSet;
    property.Id = KSPROPERTY_PIN_CTYPES;
    property.Flags = KSPROPERTY_TYPE_GET;
    ULONG returned = 0;
    return Ioctl(&property, sizeof property, count, sizeof *count, &returned);
}

NTSTATUS FilterHandle::GetPinInstances(ULONG pinId, KSPIN_CINSTANCES* instances) {
    ULONG returned = 0;
    return GetPinProperty(pinId, KSPROPERTY_PIN_CINSTANCES, instances, sizeof *instances,
                          &returned);
}

NTSTATUS FilterHandle::GetDataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges) {
    ranges->clear();
    ULONG size = 0;
    NTSTATUS status = GetPinProperty(pinId, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> answer(size);
    ULONG returned = 0;
    status = GetPinProperty(pinId, KSPROPERTY_PIN_DATARANGES, answer.data(), size, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned < sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_UNSUCCESSFUL;
    }
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, answer.data(), sizeof header);
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count; ++i) {
        if (offset + sizeof(KSDATARANGE) > returned) {
            return STATUS_UNSUCCESSFUL;
        }
        KSDATARANGE range;
        std::memcpy(&range, answer.data() + offset, sizeof range);
        if (range.FormatSize < sizeof(KSDATARANGE) || offset + range.FormatSize > returned) {
            return STATUS_UNSUCCESSFUL;
        }
        ranges->emplace_back(answer.begin() + offset, answer.begin() + offset + range.FormatSize);
        offset += AlignUp8(range.FormatSize);
    }
    return STATUS_SUCCESS;
}

std::vector<uint8_t> FilterHandle::IntersectionRequest(
    ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges) {
    std::vector<uint8_t> input(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0);
    KSP_PIN request = PinRequest(pinId, KSPROPERTY_PIN_DATAINTERSECTION);
    std::memcpy(input.data(), &request, sizeof request);
    for (const auto& range : ranges) {
        size_t at = input.size();
        input.resize(at + AlignUp8(range.size()), 0);
        std::memcpy(input.data() + at, range.data(), range.size());
    }
    KSMULTIPLE_ITEM item;
    item.Size = static_cast<ULONG>(input.size() - sizeof(KSP_PIN));
    item.Count = static_cast<ULONG>(ranges.size());
    std::memcpy(input.data() + sizeof(KSP_PIN), &item, sizeof item);
    return input;
}

NTSTATUS FilterHandle::Intersect(ULONG pinId, const void* range, ULONG rangeSize,
                                 std::vector<uint8_t>* format) {
    format->clear();
    const auto* bytes = static_cast<const uint8_t*>(range);
    std::vector<uint8_t> input =
        IntersectionRequest(pinId, {std::vector<uint8_t>(bytes, bytes + rangeSize)});
    ULONG size = 0;
    NTSTATUS status = Ioctl(input.data(), static_cast<ULONG>(input.size()), nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> answer(size);
    ULONG returned = 0;
    status = Ioctl(input.data(), static_cast<ULONG>(input.size()), answer.data(), size, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    answer.resize(returned);
    *format = std::move(answer);
    return STATUS_SUCCESS;
}

NTSTATUS FilterHandle::CreatePin(ULONG pinId, const void* format, ULONG formatLength,
                                 std::unique_ptr<PinHandle>* pin, const PinOptions& options) {
    pin->reset();
    ks::KsPinOptions pinOptions;
    switch (options.clock) {
        case PinOptions::Clock::AsVariant:
            pinOptions.clock = ks::KsPinOptions::ClockFromVariant();
            break;
        case PinOptions::Clock::None:
            pinOptions.clock = ks::KsPinOptions::ClockAt::Never;
            break;
        case PinOptions::Clock::BeforeAcquire:
            pinOptions.clock = ks::KsPinOptions::ClockAt::Creation;
            break;
        case PinOptions::Clock::BeforePause:
            pinOptions.clock = ks::KsPinOptions::ClockAt::AcquireToPause;
            break;
    }
    std::shared_ptr<ks::KsPinObject> created;
    NTSTATUS status = filter_->CreatePin(pinId, format, formatLength, pinOptions, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pin->reset(new PinHandle(filter_, std::move(created), options));
    return STATUS_SUCCESS;
}

NTSTATUS FilterHandle::CreatePinFromConnect(const void* connect, ULONG length,
                                            std::unique_ptr<PinHandle>* pin,
                                            const PinOptions& options) {
    pin->reset();
    if (connect == nullptr || length < kConnectSize + sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const uint8_t*>(connect);
    KSIDENTIFIER interfaceId;
    KSIDENTIFIER medium;
    ULONG pinId = 0;
    KSDATAFORMAT format;
    std::memcpy(&interfaceId, bytes, sizeof interfaceId);
    std::memcpy(&medium, bytes + kConnectMedium, sizeof medium);
    std::memcpy(&pinId, bytes + kConnectPinId, sizeof pinId);
    std::memcpy(&format, bytes + kConnectSize, sizeof format);
    if (format.FormatSize < sizeof(KSDATAFORMAT) || format.FormatSize > length - kConnectSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSFILTER_DESCRIPTOR* filter = KsFilter()->Descriptor;
    if (filter == nullptr || pinId >= filter->PinDescriptorsCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& descriptor = filter->PinDescriptors[pinId].PinDescriptor;
    if (!Listed(interfaceId, descriptor.InterfacesCount, descriptor.Interfaces,
                kInterfaceStandard) ||
        !Listed(medium, descriptor.MediumsCount, descriptor.Mediums, kMediumStandard)) {
        return STATUS_NO_MATCH;
    }
    return CreatePin(pinId, bytes + kConnectSize, format.FormatSize, pin, options);
}

PKSFILTER FilterHandle::KsFilter() const {
    return filter_->KsFilter();
}

}  // namespace host
