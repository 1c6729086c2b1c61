#include "tools/vcam/Negotiation.h"

#include "driver/pin/Descriptors.h"
#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/Names.h"
#include "tools/vcam/ToolError.h"

namespace vcam {

namespace {

const GUID kVideoCapture = VCAM_GUID(STATIC_PINNAME_VIDEO_CAPTURE);
const GUID kVideoInfo = VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);
const GUID kVideo = VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO);

}  // namespace

ULONG Negotiation::FindCapturePin(host::FilterHandle& filter) {
    ULONG count = 0;
    NTSTATUS status = filter.GetPinFactoryCount(&count);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera,
                        "asking for the pin factory count failed: " + Names::Status(status));
    }
    for (ULONG pinId = 0; pinId < count; ++pinId) {
        ULONG flow = 0;
        GUID category = {};
        ULONG returned = 0;
        if (NT_SUCCESS(filter.GetPinProperty(pinId, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow,
                                             &returned)) &&
            NT_SUCCESS(filter.GetPinProperty(pinId, KSPROPERTY_PIN_CATEGORY, &category,
                                             sizeof category, &returned)) &&
            flow == KSPIN_DATAFLOW_OUT && category == kVideoCapture) {
            return pinId;
        }
    }
    throw ToolError(kExitCamera,
                    "the filter has no video capture pin (" + std::to_string(count) +
                        " pin factories, none with data flow out and PINNAME_VIDEO_CAPTURE)");
}

std::vector<uint8_t> Negotiation::Yuy2Range(host::FilterHandle& filter, ULONG pinId) {
    std::vector<std::vector<uint8_t>> ranges;
    NTSTATUS status = filter.GetDataRanges(pinId, &ranges);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera,
                        "reading the capture pin's data ranges failed: " + Names::Status(status));
    }
    const GUID yuy2 = VcamMakeGuid(VCAM_FOURCC_YUY2, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
                                   0x38, 0x9B, 0x71);
    for (const auto& range : ranges) {
        if (range.size() < sizeof(KS_DATARANGE_VIDEO)) continue;
        const KS_DATARANGE_VIDEO& video = AsVideoRange(range);
        if (video.DataRange.MajorFormat == kVideo && video.DataRange.SubFormat == yuy2 &&
            video.DataRange.Specifier == kVideoInfo) {
            return range;
        }
    }
    throw ToolError(kExitCamera, "the capture pin offers no YUY2 video-info data range (" +
                                     std::to_string(ranges.size()) + " ranges)");
}

std::vector<uint8_t> Negotiation::Yuy2Format(host::FilterHandle& filter, ULONG pinId) {
    std::vector<uint8_t> range = Yuy2Range(filter, pinId);
    std::vector<uint8_t> format;
    NTSTATUS status =
        filter.Intersect(pinId, range.data(), static_cast<ULONG>(range.size()), &format);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera,
                        "the data intersection of the YUY2 range failed: " + Names::Status(status));
    }
    if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        throw ToolError(kExitCamera, "the data intersection answered " +
                                         std::to_string(format.size()) +
                                         " bytes, less than a video-info format");
    }
    const KS_BITMAPINFOHEADER& bitmap = AsVideoFormat(format).VideoInfoHeader.bmiHeader;
    if (bitmap.biWidth != kWidth || bitmap.biHeight != kHeight ||
        bitmap.biCompression != VCAM_FOURCC_YUY2 || bitmap.biSizeImage != kYuy2Bytes) {
        throw ToolError(kExitCamera, "the intersected format is " + std::to_string(bitmap.biWidth) +
                                         "x" + std::to_string(bitmap.biHeight) + " " +
                                         Names::FourCc(bitmap.biCompression) + ", " +
                                         std::to_string(bitmap.biSizeImage) +
                                         " bytes; vcam reads 1280x720 YUY2 only");
    }
    return format;
}

const KS_DATAFORMAT_VIDEOINFOHEADER& Negotiation::AsVideoFormat(
    const std::vector<uint8_t>& format) {
    return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
}

const KS_DATARANGE_VIDEO& Negotiation::AsVideoRange(const std::vector<uint8_t>& range) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data());
}

}  // namespace vcam
