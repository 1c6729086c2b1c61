// The camera through a transport, in the calls every vcam command makes:
// the frame injection signature and push, the capture pin factory and its
// format by data intersection, the pin created and walked through its
// states one neighbouring step at a time. Every request is built by KsWire.
#pragma once

#include "tools/vcam/device/KsTransport.h"
#include "tools/vcam/device/KsWire.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vcam {

class DeviceCamera {
  public:
    explicit DeviceCamera(KsTransport& transport) : transport_(transport) {}

    KsTransport& Transport() { return transport_; }

    // The frame injection get: *signature holds what came back.
    KsResult Signature(uint32_t* signature);
    // Throws ToolError (camera) unless the get answers the 4 signature bytes.
    void RequireSignature();
    // One frame through the frame injection set.
    KsResult Push(const std::vector<uint8_t>& frame);

    // A KSPROPSETID_Pin get of a ULONG (pin factory `pinId`).
    KsResult PinValue(uint32_t pinId, uint32_t id, uint32_t* value);
    KsResult PinFactoryCount(uint32_t* count);
    KsResult PinCategory(uint32_t pinId, WireGuid* category);
    // {possible, current}.
    KsResult PinInstances(uint32_t pinId, uint32_t* possible, uint32_t* current);
    // Size query, then the answer, parsed.
    KsResult DataRanges(uint32_t pinId, std::vector<std::vector<uint8_t>>* ranges);
    // Size query, then the format the filter picks for `range`.
    KsResult Intersect(uint32_t pinId, const std::vector<uint8_t>& range,
                       std::vector<uint8_t>* format);

    // The video capture pin factory (data flow out, PINNAME_VIDEO_CAPTURE).
    // Throws ToolError (camera) when there is none.
    uint32_t FindCapturePin();
    // The intersected 1280 x 720 YUY2 format. Throws ToolError (camera).
    std::vector<uint8_t> Yuy2Format(uint32_t pinId);

    KsResult CreatePin(uint32_t pinId, const std::vector<uint8_t>& format,
                       std::unique_ptr<KsPinChannel>* pin);
    static KsResult GetState(KsPinChannel& pin, uint32_t* state);
    // Walks from `from` to `to` one neighbouring state per request; stops
    // at the first refusal and returns it.
    static KsResult WalkState(KsPinChannel& pin, uint32_t from, uint32_t to);

  private:
    KsTransport& transport_;  // the caller's; outlives this
};

}  // namespace vcam
