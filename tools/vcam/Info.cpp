#include "tools/vcam/Info.h"

#include "driver/injection/FrameInjection.h"
#include "tools/vcam/Camera.h"
#include "tools/vcam/InfoText.h"
#include "tools/vcam/Names.h"
#include "tools/vcam/Negotiation.h"
#include "tools/vcam/ToolError.h"

#include <string>

namespace vcam {

namespace {

using infotext::Field;
using infotext::Hex;
using infotext::Num;

std::string Size(const SIZE& size) {
    return Num(size.cx) + " x " + Num(size.cy);
}

std::string Rect(const RECT& r) {
    return "(" + Num(r.left) + ", " + Num(r.top) + ") - (" + Num(r.right) + ", " + Num(r.bottom) +
           ")";
}

std::string Interval(long long hundredNs) {
    char text[64];
    std::snprintf(text, sizeof text, "%lld (%.3f fps)", hundredNs,
                  hundredNs > 0 ? 1e7 / hundredNs : 0.0);
    return text;
}

void PrintDataFormat(std::FILE* out, int depth, const KSDATAFORMAT& format) {
    Field(out, depth, "FormatSize", Num(format.FormatSize));
    Field(out, depth, "Flags", Hex(format.Flags));
    Field(out, depth, "SampleSize", Num(format.SampleSize));
    Field(out, depth, "MajorFormat", Names::NamedGuid(format.MajorFormat));
    Field(out, depth, "SubFormat", Names::NamedGuid(format.SubFormat));
    Field(out, depth, "Specifier", Names::NamedGuid(format.Specifier));
}

void PrintVideoInfo(std::FILE* out, int depth, const KS_VIDEOINFOHEADER& info) {
    Field(out, depth, "rcSource", Rect(info.rcSource));
    Field(out, depth, "rcTarget", Rect(info.rcTarget));
    Field(out, depth, "dwBitRate", Num(info.dwBitRate));
    Field(out, depth, "dwBitErrorRate", Num(info.dwBitErrorRate));
    Field(out, depth, "AvgTimePerFrame", Interval(info.AvgTimePerFrame));
    const KS_BITMAPINFOHEADER& b = info.bmiHeader;
    Field(out, depth, "bmiHeader.biSize", Num(b.biSize));
    Field(out, depth, "bmiHeader.biWidth", Num(b.biWidth));
    Field(out, depth, "bmiHeader.biHeight", Num(b.biHeight));
    Field(out, depth, "bmiHeader.biPlanes", Num(b.biPlanes));
    Field(out, depth, "bmiHeader.biBitCount", Num(b.biBitCount));
    Field(out, depth, "bmiHeader.biCompression",
          Hex(b.biCompression) + " '" + Names::FourCc(b.biCompression) + "'");
    Field(out, depth, "bmiHeader.biSizeImage", Num(b.biSizeImage));
    Field(out, depth, "bmiHeader.biXPelsPerMeter", Num(b.biXPelsPerMeter));
    Field(out, depth, "bmiHeader.biYPelsPerMeter", Num(b.biYPelsPerMeter));
    Field(out, depth, "bmiHeader.biClrUsed", Num(b.biClrUsed));
    Field(out, depth, "bmiHeader.biClrImportant", Num(b.biClrImportant));
}

void PrintRange(std::FILE* out, const KS_DATARANGE_VIDEO& range) {
    PrintDataFormat(out, 2, range.DataRange);
    Field(out, 2, "bFixedSizeSamples", range.bFixedSizeSamples ? "TRUE" : "FALSE");
    Field(out, 2, "bTemporalCompression", range.bTemporalCompression ? "TRUE" : "FALSE");
    Field(out, 2, "StreamDescriptionFlags", Hex(range.StreamDescriptionFlags));
    Field(out, 2, "MemoryAllocationFlags", Hex(range.MemoryAllocationFlags));
    const KS_VIDEO_STREAM_CONFIG_CAPS& c = range.ConfigCaps;
    std::fprintf(out, "\t\tConfigCaps:\n");
    Field(out, 3, "guid", Names::NamedGuid(c.guid));
    Field(out, 3, "VideoStandard", Hex(c.VideoStandard));
    Field(out, 3, "InputSize", Size(c.InputSize));
    Field(out, 3, "MinCroppingSize", Size(c.MinCroppingSize));
    Field(out, 3, "MaxCroppingSize", Size(c.MaxCroppingSize));
    Field(out, 3, "CropGranularity", Num(c.CropGranularityX) + " x " + Num(c.CropGranularityY));
    Field(out, 3, "CropAlign", Num(c.CropAlignX) + " x " + Num(c.CropAlignY));
    Field(out, 3, "MinOutputSize", Size(c.MinOutputSize));
    Field(out, 3, "MaxOutputSize", Size(c.MaxOutputSize));
    Field(out, 3, "OutputGranularity",
          Num(c.OutputGranularityX) + " x " + Num(c.OutputGranularityY));
    Field(out, 3, "StretchTaps", Num(c.StretchTapsX) + " x " + Num(c.StretchTapsY));
    Field(out, 3, "ShrinkTaps", Num(c.ShrinkTapsX) + " x " + Num(c.ShrinkTapsY));
    Field(out, 3, "MinFrameInterval", Interval(c.MinFrameInterval));
    Field(out, 3, "MaxFrameInterval", Interval(c.MaxFrameInterval));
    Field(out, 3, "MinBitsPerSecond", Num(c.MinBitsPerSecond));
    Field(out, 3, "MaxBitsPerSecond", Num(c.MaxBitsPerSecond));
    std::fprintf(out, "\t\tVideoInfoHeader:\n");
    PrintVideoInfo(out, 3, range.VideoInfoHeader);
}

}  // namespace

int Info::Print(std::FILE* out) {
    Camera camera(host::ClockMode::Real);

    std::fprintf(out, "Driver Info:\n");
    Field(out, 1, "Driver name", "VantriCamera (on the host kernel)");
    Field(out, 1, "Registry path", Names::Narrow(camera.Driver().RegistryPath()));
    Field(out, 1, "Device", camera.Device().Started() ? "started" : "not started");

    std::fprintf(out, "Device Interfaces:\n");
    for (const host::DeviceInterface& entry : camera.Device().Interfaces()) {
        Field(out, 1, Names::GuidName(entry.category).c_str(),
              Names::Guid(entry.category) + ", reference string \"" +
                  Names::Narrow(entry.referenceString) + "\"");
    }

    std::unique_ptr<host::FilterHandle> filter =
        camera.OpenFilter(VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA));
    ULONG factories = 0;
    NTSTATUS status = filter->GetPinFactoryCount(&factories);
    std::fprintf(out, "Filter (opened through KSCATEGORY_VIDEO_CAMERA):\n");
    Field(out, 1, "Pin factories", NT_SUCCESS(status) ? Num(factories) : Names::Status(status));

    for (ULONG pinId = 0; pinId < factories; ++pinId) {
        std::fprintf(out, "Pin %u:\n", static_cast<unsigned>(pinId));
        ULONG returned = 0;
        GUID category = {};
        status = filter->GetPinProperty(pinId, KSPROPERTY_PIN_CATEGORY, &category, sizeof category,
                                        &returned);
        Field(out, 1, "Category",
              NT_SUCCESS(status) ? Names::NamedGuid(category) : Names::Status(status));
        // KSPROPERTY_PIN_NAME answers the friendly name an installation
        // registers for the pin's Name GUID; the host has no such registry.
        status = filter->GetPinProperty(pinId, KSPROPERTY_PIN_NAME, nullptr, 0, &returned);
        Field(out, 1, "Name",
              NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW
                  ? "a string of " + Num(returned) + " bytes"
                  : "no friendly name (KSPROPERTY_PIN_NAME: " + Names::Status(status) + ")");
        ULONG flow = 0;
        status =
            filter->GetPinProperty(pinId, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow, &returned);
        Field(out, 1, "Data flow",
              NT_SUCCESS(status) ? Names::DataFlow(flow) : Names::Status(status));
        ULONG communication = 0;
        status = filter->GetPinProperty(pinId, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                        sizeof communication, &returned);
        Field(out, 1, "Communication",
              NT_SUCCESS(status) ? Names::Communication(communication) : Names::Status(status));
        KSPIN_CINSTANCES instances = {};
        status = filter->GetPinInstances(pinId, &instances);
        Field(out, 1, "Instances",
              NT_SUCCESS(status) ? "possible " + Num(instances.PossibleCount) + ", current " +
                                       Num(instances.CurrentCount)
                                 : Names::Status(status));
        ULONG necessary = 0;
        status = filter->GetPinProperty(pinId, KSPROPERTY_PIN_NECESSARYINSTANCES, &necessary,
                                        sizeof necessary, &returned);
        Field(out, 1, "Necessary instances",
              NT_SUCCESS(status) ? Num(necessary) : Names::Status(status));

        std::vector<std::vector<uint8_t>> ranges;
        status = filter->GetDataRanges(pinId, &ranges);
        Field(out, 1, "Data ranges",
              NT_SUCCESS(status) ? Num(static_cast<long long>(ranges.size()))
                                 : Names::Status(status));
        for (size_t i = 0; i < ranges.size(); ++i) {
            std::fprintf(out, "\tData range %zu:\n", i);
            if (ranges[i].size() >= sizeof(KS_DATARANGE_VIDEO)) {
                PrintRange(out, Negotiation::AsVideoRange(ranges[i]));
            } else {
                PrintDataFormat(out, 2, *reinterpret_cast<const KSDATARANGE*>(ranges[i].data()));
            }
        }
    }

    const ULONG pinId = Negotiation::FindCapturePin(*filter);
    std::vector<uint8_t> format = Negotiation::Yuy2Format(*filter, pinId);
    std::fprintf(out, "Format (data intersection of the YUY2 range, pin %u):\n",
                 static_cast<unsigned>(pinId));
    PrintDataFormat(out, 1, Negotiation::AsVideoFormat(format).DataFormat);
    PrintVideoInfo(out, 1, Negotiation::AsVideoFormat(format).VideoInfoHeader);

    std::unique_ptr<host::PinHandle> pin;
    status = filter->CreatePin(pinId, format.data(), static_cast<ULONG>(format.size()), &pin);
    std::fprintf(out, "Capture pin (created with that format):\n");
    if (!NT_SUCCESS(status)) {
        Field(out, 1, "Create", Names::Status(status));
    } else {
        Field(out, 1, "State", Names::State(pin->State()));
        Field(out, 1, "Stream header size", Num(pin->StreamHeaderSize()) + " bytes");
        KSALLOCATOR_FRAMING_EX framing = {};
        status = pin->GetAllocatorFraming(&framing);
        if (!NT_SUCCESS(status)) {
            Field(out, 1, "Allocator framing", Names::Status(status));
        } else {
            std::fprintf(out, "\tAllocator framing:\n");
            Field(out, 2, "CountItems", Num(framing.CountItems));
            Field(out, 2, "PinFlags", Hex(framing.PinFlags));
            Field(out, 2, "OutputCompression",
                  Num(framing.OutputCompression.RatioNumerator) + "/" +
                      Num(framing.OutputCompression.RatioDenominator) + " + " +
                      Num(framing.OutputCompression.RatioConstantMargin));
            Field(out, 2, "PinWeight", Num(framing.PinWeight));
            const KS_FRAMING_ITEM& item = framing.FramingItem[0];
            Field(out, 2, "MemoryType", Names::NamedGuid(item.MemoryType));
            Field(out, 2, "BusType", Names::NamedGuid(item.BusType));
            Field(out, 2, "MemoryFlags", Hex(item.MemoryFlags));
            Field(out, 2, "BusFlags", Hex(item.BusFlags));
            Field(out, 2, "Flags", Hex(item.Flags));
            Field(out, 2, "Frames", Num(item.Frames));
            Field(out, 2, "FileAlignment", Num(item.FileAlignment));
            Field(out, 2, "MemoryTypeWeight", Num(item.MemoryTypeWeight));
            Field(out, 2, "PhysicalRange",
                  "min " + Num(item.PhysicalRange.MinFrameSize) + ", max " +
                      Num(item.PhysicalRange.MaxFrameSize) + ", stepping " +
                      Num(item.PhysicalRange.Stepping));
            Field(out, 2, "FramingRange",
                  "min " + Num(item.FramingRange.Range.MinFrameSize) + ", max " +
                      Num(item.FramingRange.Range.MaxFrameSize) + ", stepping " +
                      Num(item.FramingRange.Range.Stepping) + ", weights " +
                      Num(item.FramingRange.InPlaceWeight) + "/" +
                      Num(item.FramingRange.NotInPlaceWeight));
        }
        pin->Close();
    }

    std::fprintf(out, "Frame injection:\n");
    Field(out, 1, "Property set", "FrameInjectionSet " + Names::Guid(FrameInjectionSetId));
    Field(out, 1, "Property", Num(VCAM_PROPERTY_FRAME) + " (get: signature, set: push one frame)");
    uint8_t signature[4] = {};
    ULONG returned = 0;
    status = filter->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, signature,
                                 sizeof signature, &returned);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", signature[0], signature[1],
                  signature[2], signature[3]);
    Field(out, 1, "Signature",
          NT_SUCCESS(status)
              ? Hex(static_cast<uint32_t>(signature[0] | signature[1] << 8 | signature[2] << 16 |
                                          static_cast<uint32_t>(signature[3]) << 24)) +
                    " (bytes " + bytes + ", " + Num(returned) + " returned)"
              : Names::Status(status));
    Field(out, 1, "Frame layouts",
          "I420 1382400 bytes, RGB24 2764800 bytes (B,G,R, top row first)");

    filter->Close();
    VerifierVerdict verdict = camera.Shutdown();
    std::fprintf(out, "Verifier:\n");
    Field(out, 1, "Violations", Num(static_cast<long long>(verdict.violations)));
    Field(out, 1, "Pool blocks left", Num(static_cast<long long>(verdict.poolBlocksLeft)));
    if (!verdict.description.empty()) std::fprintf(out, "%s\n", verdict.description.c_str());
    return verdict.violations == 0 && verdict.poolBlocksLeft == 0 ? 0 : 4;
}

}  // namespace vcam
