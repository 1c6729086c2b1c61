// The steps every capture application takes before streaming, through the
// client calls only: find the capture pin factory (data flow out, category
// PINNAME_VIDEO_CAPTURE), read its data ranges, and turn the YUY2 range into
// a concrete format by data intersection (size query first).
#pragma once

#include "host/client/FilterHandle.h"

#include <host/ksmedia.h>

#include <cstdint>
#include <vector>

namespace vcam {

class Negotiation {
  public:
    // The id of the filter's video capture pin factory. Throws ToolError
    // (camera) when there is none.
    static ULONG FindCapturePin(host::FilterHandle& filter);
    // The pin's first YUY2 video-info data range, as its FormatSize bytes.
    static std::vector<uint8_t> Yuy2Range(host::FilterHandle& filter, ULONG pinId);
    // Intersects that range and checks the answer is the 1280 x 720 YUY2
    // format vcam can read. Throws ToolError (camera) otherwise.
    static std::vector<uint8_t> Yuy2Format(host::FilterHandle& filter, ULONG pinId);
    // The format bytes seen as a video-info data format (caller checked the size).
    static const KS_DATAFORMAT_VIDEOINFOHEADER& AsVideoFormat(const std::vector<uint8_t>& format);
    static const KS_DATARANGE_VIDEO& AsVideoRange(const std::vector<uint8_t>& range);
};

}  // namespace vcam
