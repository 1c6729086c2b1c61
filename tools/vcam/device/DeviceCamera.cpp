#include "tools/vcam/device/DeviceCamera.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/ToolError.h"

#include <cstdio>
#include <cstring>

namespace vcam {

KsResult DeviceCamera::Signature(uint32_t* signature) {
    *signature = 0;
    return transport_.FilterProperty(
        KsWire::Property(KsWire::kFrameInjectionSet, KsWire::kFrameProperty, KsWire::kPropertyGet),
        signature, sizeof *signature);
}

void DeviceCamera::RequireSignature() {
    uint32_t signature = 0;
    KsResult result = Signature(&signature);
    if (!result.Ok() || result.returned != 4 || signature != KsWire::kSignature) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%08X, %u bytes", signature,
                      static_cast<unsigned>(result.returned));
        throw ToolError(kExitCamera, "the filter does not answer the frame injection signature: " +
                                         (result.Ok() ? std::string(text) : result.detail));
    }
}

KsResult DeviceCamera::Push(const std::vector<uint8_t>& frame) {
    // The value of a set is an input; the request still passes it as the
    // output buffer.
    return transport_.FilterProperty(
        KsWire::Property(KsWire::kFrameInjectionSet, KsWire::kFrameProperty, KsWire::kPropertySet),
        const_cast<uint8_t*>(frame.data()), static_cast<uint32_t>(frame.size()));
}

KsResult DeviceCamera::PinValue(uint32_t pinId, uint32_t id, uint32_t* value) {
    *value = 0;
    return transport_.FilterProperty(KsWire::PinGet(pinId, id), value, sizeof *value);
}

KsResult DeviceCamera::PinFactoryCount(uint32_t* count) {
    *count = 0;
    return transport_.FilterProperty(
        KsWire::Property(KsWire::kPinSet, KsWire::kPinFactoryCount, KsWire::kPropertyGet), count,
        sizeof *count);
}

KsResult DeviceCamera::PinCategory(uint32_t pinId, WireGuid* category) {
    uint8_t bytes[16] = {};
    KsResult result =
        transport_.FilterProperty(KsWire::PinGet(pinId, KsWire::kPinCategory), bytes, sizeof bytes);
    *category = KsWire::GuidAt(bytes);
    return result;
}

KsResult DeviceCamera::PinInstances(uint32_t pinId, uint32_t* possible, uint32_t* current) {
    uint32_t values[2] = {};
    KsResult result = transport_.FilterProperty(KsWire::PinGet(pinId, KsWire::kPinInstances),
                                                values, sizeof values);
    *possible = values[0];
    *current = values[1];
    return result;
}

KsResult DeviceCamera::DataRanges(uint32_t pinId, std::vector<std::vector<uint8_t>>* ranges) {
    ranges->clear();
    const std::vector<uint8_t> request = KsWire::PinGet(pinId, KsWire::kPinDataRanges);
    KsResult size = transport_.FilterProperty(request, nullptr, 0);
    if (size.outcome != KsOutcome::kMoreData) return size;
    std::vector<uint8_t> answer(size.returned);
    KsResult result = transport_.FilterProperty(request, answer.data(), size.returned);
    if (!result.Ok()) return result;
    if (!KsWire::ParseRanges(answer.data(), result.returned, ranges)) {
        result.outcome = KsOutcome::kFailed;
        result.detail =
            "a malformed KSMULTIPLE_ITEM of " + std::to_string(result.returned) + " bytes";
    }
    return result;
}

KsResult DeviceCamera::Intersect(uint32_t pinId, const std::vector<uint8_t>& range,
                                 std::vector<uint8_t>* format) {
    format->clear();
    const std::vector<uint8_t> request = KsWire::IntersectionRequest(pinId, {range});
    KsResult size = transport_.FilterProperty(request, nullptr, 0);
    if (size.outcome != KsOutcome::kMoreData) return size;
    format->resize(size.returned);
    KsResult result = transport_.FilterProperty(request, format->data(), size.returned);
    format->resize(result.Ok() ? result.returned : 0);
    return result;
}

uint32_t DeviceCamera::FindCapturePin() {
    uint32_t count = 0;
    KsResult result = PinFactoryCount(&count);
    if (!result.Ok()) {
        throw ToolError(kExitCamera, "asking for the pin factory count failed: " + result.detail);
    }
    for (uint32_t pinId = 0; pinId < count; ++pinId) {
        uint32_t flow = 0;
        WireGuid category{};
        if (PinValue(pinId, KsWire::kPinDataFlow, &flow).Ok() && flow == KsWire::kDataFlowOut &&
            PinCategory(pinId, &category).Ok() && category == KsWire::kPinNameVideoCapture) {
            return pinId;
        }
    }
    throw ToolError(kExitCamera, "the filter has no video capture pin factory (" +
                                     std::to_string(count) + " pin factories)");
}

std::vector<uint8_t> DeviceCamera::Yuy2Format(uint32_t pinId) {
    std::vector<std::vector<uint8_t>> ranges;
    KsResult result = DataRanges(pinId, &ranges);
    if (!result.Ok()) {
        throw ToolError(kExitCamera,
                        "reading the capture pin's data ranges failed: " + result.detail);
    }
    for (const auto& range : ranges) {
        WireVideoFormat video;
        if (!KsWire::ParseVideoRange(range, &video) || video.majorFormat != KsWire::kMajorVideo ||
            video.subFormat != KsWire::kSubtypeYuy2 ||
            video.specifier != KsWire::kSpecifierVideoInfo) {
            continue;
        }
        std::vector<uint8_t> format;
        result = Intersect(pinId, range, &format);
        if (!result.Ok()) {
            throw ToolError(kExitCamera,
                            "the data intersection of the YUY2 range failed: " + result.detail);
        }
        WireVideoFormat chosen;
        if (!KsWire::ParseVideoFormat(format, &chosen) || chosen.width != kWidth ||
            chosen.height != kHeight || chosen.compression != KsWire::kFourccYuy2 ||
            chosen.sizeImage != kYuy2Bytes) {
            throw ToolError(kExitCamera, "the intersected format (" +
                                             std::to_string(format.size()) + " bytes, " +
                                             std::to_string(chosen.width) + "x" +
                                             std::to_string(chosen.height) +
                                             ") is not the 1280x720 YUY2 format vcam reads");
        }
        return format;
    }
    throw ToolError(kExitCamera, "the capture pin offers no YUY2 video-info data range (" +
                                     std::to_string(ranges.size()) + " ranges)");
}

KsResult DeviceCamera::CreatePin(uint32_t pinId, const std::vector<uint8_t>& format,
                                 std::unique_ptr<KsPinChannel>* pin) {
    return transport_.CreatePin(KsWire::PinConnect(pinId, format), pin);
}

KsResult DeviceCamera::GetState(KsPinChannel& pin, uint32_t* state) {
    *state = 0;
    return pin.Property(
        KsWire::Property(KsWire::kConnectionSet, KsWire::kConnectionState, KsWire::kPropertyGet),
        state, sizeof *state);
}

KsResult DeviceCamera::WalkState(KsPinChannel& pin, uint32_t from, uint32_t to) {
    KsResult result;
    result.outcome = KsOutcome::kOk;
    const std::vector<uint8_t> request =
        KsWire::Property(KsWire::kConnectionSet, KsWire::kConnectionState, KsWire::kPropertySet);
    while (from != to) {
        uint32_t next = from < to ? from + 1 : from - 1;
        result = pin.Property(request, &next, sizeof next);
        if (!result.Ok()) return result;
        from = next;
    }
    return result;
}

}  // namespace vcam
