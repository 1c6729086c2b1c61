#include "tools/vcam/device/DeviceInfo.h"

#include "tools/vcam/device/DeviceCamera.h"
#include "tools/vcam/InfoText.h"

#include <string>

namespace vcam {

namespace {

using infotext::Field;
using infotext::Hex;
using infotext::Num;

std::string Or(const KsResult& result, const std::string& value) {
    return result.Ok() ? value : result.detail;
}

void PrintVideo(std::FILE* out, int depth, const WireVideoFormat& video, bool range) {
    Field(out, depth, "FormatSize", Num(video.formatSize));
    Field(out, depth, "SampleSize", Num(video.sampleSize));
    Field(out, depth, "MajorFormat", video.majorFormat.ToString());
    Field(out, depth, "SubFormat", video.subFormat.ToString());
    Field(out, depth, "Specifier", video.specifier.ToString());
    Field(out, depth, "Size", Num(video.width) + " x " + Num(video.height));
    Field(out, depth, "biBitCount", Num(video.bitCount));
    Field(out, depth, "biCompression", Hex(video.compression));
    Field(out, depth, "biSizeImage", Num(video.sizeImage));
    Field(out, depth, "AvgTimePerFrame", Num(video.avgTimePerFrame));
    if (range) {
        Field(out, depth, "MinFrameInterval", Num(video.minFrameInterval));
        Field(out, depth, "MaxFrameInterval", Num(video.maxFrameInterval));
    }
}

}  // namespace

int DeviceInfo::Print(KsTransport& transport, std::FILE* out) {
    DeviceCamera camera(transport);
    std::fprintf(out, "Camera:\n");
    Field(out, 1, "Found at", transport.Describe());
    uint32_t signature = 0;
    KsResult result = camera.Signature(&signature);
    Field(out, 1, "Frame injection signature",
          Or(result, Hex(signature) + " (" + Num(result.returned) + " bytes)"));

    uint32_t factories = 0;
    result = camera.PinFactoryCount(&factories);
    Field(out, 1, "Pin factories", Or(result, Num(factories)));
    for (uint32_t pinId = 0; pinId < factories; ++pinId) {
        std::fprintf(out, "Pin %u:\n", static_cast<unsigned>(pinId));
        WireGuid category{};
        result = camera.PinCategory(pinId, &category);
        Field(out, 1, "Category", Or(result, category.ToString()));
        uint32_t value = 0;
        result = camera.PinValue(pinId, KsWire::kPinDataFlow, &value);
        Field(out, 1, "Data flow", Or(result, value == KsWire::kDataFlowOut ? "out" : Num(value)));
        result = camera.PinValue(pinId, KsWire::kPinCommunication, &value);
        Field(out, 1, "Communication", Or(result, Num(value)));
        uint32_t possible = 0;
        uint32_t current = 0;
        result = camera.PinInstances(pinId, &possible, &current);
        Field(out, 1, "Instances",
              Or(result, "possible " + Num(possible) + ", current " + Num(current)));
        std::vector<std::vector<uint8_t>> ranges;
        result = camera.DataRanges(pinId, &ranges);
        Field(out, 1, "Data ranges", Or(result, Num(static_cast<long long>(ranges.size()))));
        for (size_t i = 0; i < ranges.size(); ++i) {
            std::fprintf(out, "\tData range %zu:\n", i);
            WireVideoFormat video;
            if (KsWire::ParseVideoRange(ranges[i], &video)) {
                PrintVideo(out, 2, video, true);
            } else {
                Field(out, 2, "FormatSize", Num(static_cast<long long>(ranges[i].size())));
            }
        }
    }

    const uint32_t pinId = camera.FindCapturePin();
    const std::vector<uint8_t> format = camera.Yuy2Format(pinId);
    std::fprintf(out, "Format (data intersection of the YUY2 range, pin %u):\n",
                 static_cast<unsigned>(pinId));
    WireVideoFormat video;
    KsWire::ParseVideoFormat(format, &video);
    PrintVideo(out, 1, video, false);

    std::fprintf(out, "Capture pin (created with that format):\n");
    std::unique_ptr<KsPinChannel> pin;
    result = camera.CreatePin(pinId, format, &pin);
    if (!result.Ok()) {
        Field(out, 1, "Create", result.detail);
        return 0;
    }
    uint32_t state = 0;
    result = DeviceCamera::GetState(*pin, &state);
    Field(out, 1, "State", Or(result, Num(state)));
    uint8_t framing[128] = {};
    result =
        pin->Property(KsWire::Property(KsWire::kConnectionSet,
                                       KsWire::kConnectionAllocatorFramingEx, KsWire::kPropertyGet),
                      framing, sizeof framing);
    WireFraming parsed;
    if (result.Ok() && !KsWire::ParseFraming(framing, result.returned, &parsed)) {
        result.outcome = KsOutcome::kFailed;
        result.detail = "a KSALLOCATOR_FRAMING_EX of " + Num(result.returned) + " bytes";
    }
    Field(out, 1, "Allocator framing",
          Or(result, Num(parsed.countItems) + " item(s), " + Num(parsed.frames) +
                         " frames of up to " + Num(parsed.maxFrameSize) + " bytes"));
    pin->Close();
    return 0;
}

}  // namespace vcam
