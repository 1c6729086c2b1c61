#include "tools/vcam/device/DeviceCheck.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/PushLedger.h"
#include "tools/vcam/TestPattern.h"
#include "tools/vcam/ToolError.h"

#include <cstdlib>
#include <cstring>

namespace vcam {

namespace {

constexpr uint32_t kStop = 0;
constexpr uint32_t kAcquire = 1;
constexpr uint32_t kPause = 2;
constexpr uint32_t kRun = 3;
constexpr unsigned kReads = 4;
constexpr uint32_t kReadTimeoutMs = 1000;

}  // namespace

DeviceCheck::DeviceCheck(KsTransport& transport, unsigned frames, std::FILE* out)
    : camera_(transport), frames_(frames), out_(out), log_(out) {
    const char* brk = std::getenv("VCAM_CHECK_BREAK");
    broken_ = brk != nullptr && std::strcmp(brk, "1") == 0;
}

int DeviceCheck::Run() {
    std::fprintf(out_, "vcam check: the camera at %s%s\n", camera_.Transport().Describe().c_str(),
                 broken_ ? ", self-test: one expectation broken (VCAM_CHECK_BREAK=1)" : "");
    pinId_ = camera_.FindCapturePin();
    format_ = camera_.Yuy2Format(pinId_);
    Identity();
    Formats();
    Pin();
    Streaming();
    Injection();
    log_.PrintTotals();
    return log_.Failed() == 0 ? kExitOk : kExitNonConformant;
}

void DeviceCheck::Identity() {
    log_.Section("identity");
    uint8_t signature[8];
    std::memset(signature, 0xEE, sizeof signature);
    const std::vector<uint8_t> get =
        KsWire::Property(KsWire::kFrameInjectionSet, KsWire::kFrameProperty, KsWire::kPropertyGet);
    KsResult result = camera_.Transport().FilterProperty(get, signature, 4);
    VCAM_CHECK(result.Ok());
    VCAM_CHECK_EQ(result.returned, 4u);
    VCAM_CHECK(signature[0] == 0x77 && signature[1] == 0xAA && signature[2] == 0x77 &&
               signature[3] == 0xAA);
    VCAM_CHECK(signature[4] == 0xEE);
    // A short buffer: no success, nothing written past it.
    std::memset(signature, 0xEE, sizeof signature);
    result = camera_.Transport().FilterProperty(get, signature, 3);
    VCAM_CHECK(!result.Ok());
    VCAM_CHECK(signature[3] == 0xEE);
    result = camera_.Transport().FilterProperty(
        KsWire::Property(KsWire::kFrameInjectionSet, KsWire::kFrameProperty + 1,
                         KsWire::kPropertyGet),
        signature, 4);
    VCAM_CHECK(!result.Ok());

    uint32_t count = 0;
    VCAM_CHECK(camera_.PinFactoryCount(&count).Ok());
    VCAM_CHECK_EQ(count, 1u);
    uint32_t flow = 0;
    VCAM_CHECK(camera_.PinValue(pinId_, KsWire::kPinDataFlow, &flow).Ok());
    VCAM_CHECK_EQ(flow, KsWire::kDataFlowOut);
    WireGuid category{};
    VCAM_CHECK(camera_.PinCategory(pinId_, &category).Ok());
    VCAM_CHECK(category == KsWire::kPinNameVideoCapture);
    uint32_t possible = 0;
    uint32_t current = 0;
    VCAM_CHECK(camera_.PinInstances(pinId_, &possible, &current).Ok());
    VCAM_CHECK_EQ(possible, 1u);
    VCAM_CHECK_EQ(current, 0u);
    log_.EndSection();
}

void DeviceCheck::Formats() {
    log_.Section("formats");
    std::vector<std::vector<uint8_t>> ranges;
    VCAM_CHECK(camera_.DataRanges(pinId_, &ranges).Ok());
    VCAM_CHECK_EQ(ranges.size(), 1u);
    WireVideoFormat range;
    if (VCAM_CHECK(!ranges.empty() && KsWire::ParseVideoRange(ranges[0], &range))) {
        VCAM_CHECK_EQ(range.formatSize, 296u);
        VCAM_CHECK_EQ(range.sampleSize, 1843200u);
        VCAM_CHECK(range.majorFormat == KsWire::kMajorVideo);
        VCAM_CHECK(range.subFormat == KsWire::kSubtypeYuy2);
        VCAM_CHECK(range.specifier == KsWire::kSpecifierVideoInfo);
        VCAM_CHECK(range.width == 1280 && range.height == 720);
        VCAM_CHECK_EQ(range.bitCount, 16);
        VCAM_CHECK_EQ(range.compression, KsWire::kFourccYuy2);
        VCAM_CHECK_EQ(range.minFrameInterval, 333667);
        VCAM_CHECK_EQ(range.avgTimePerFrame, 333667);
    }
    // The intersection: the size query answers the format's size.
    const std::vector<uint8_t> request = KsWire::IntersectionRequest(pinId_, ranges);
    KsResult size = camera_.Transport().FilterProperty(request, nullptr, 0);
    VCAM_CHECK(size.outcome == KsOutcome::kMoreData);
    VCAM_CHECK_EQ(size.returned, 152u);
    WireVideoFormat format;
    if (VCAM_CHECK(KsWire::ParseVideoFormat(format_, &format))) {
        VCAM_CHECK_EQ(format_.size(), 152u);
        VCAM_CHECK_EQ(format.formatSize, 152u);
        VCAM_CHECK_EQ(format.sampleSize, 1843200u);
        VCAM_CHECK(format.subFormat == KsWire::kSubtypeYuy2);
        VCAM_CHECK_EQ(format.avgTimePerFrame, 333667);
        VCAM_CHECK_EQ(format.sizeImage, 1843200u);
    }
    log_.EndSection();
}

void DeviceCheck::Pin() {
    log_.Section("pin");
    std::unique_ptr<KsPinChannel> pin;
    KsResult result = camera_.CreatePin(pinId_, format_, &pin);
    if (!VCAM_CHECK(result.Ok() && pin)) {
        log_.Note("creating the capture pin: " + result.detail);
        log_.EndSection();
        return;
    }
    uint32_t possible = 0;
    uint32_t current = 0;
    VCAM_CHECK(camera_.PinInstances(pinId_, &possible, &current).Ok());
    VCAM_CHECK_EQ(current, 1u);
    std::unique_ptr<KsPinChannel> second;
    VCAM_CHECK(!camera_.CreatePin(pinId_, format_, &second).Ok());

    uint32_t state = 99;
    VCAM_CHECK(DeviceCamera::GetState(*pin, &state).Ok());
    VCAM_CHECK_EQ(state, kStop);
    for (uint32_t to : {kAcquire, kPause, kRun, kPause, kAcquire, kStop}) {
        VCAM_CHECK(DeviceCamera::WalkState(*pin, state, to).Ok());
        VCAM_CHECK(DeviceCamera::GetState(*pin, &state).Ok());
        VCAM_CHECK_EQ(state, to);
    }
    uint8_t bytes[KsWire::kFramingSize] = {};
    result =
        pin->Property(KsWire::Property(KsWire::kConnectionSet,
                                       KsWire::kConnectionAllocatorFramingEx, KsWire::kPropertyGet),
                      bytes, sizeof bytes);
    WireFraming framing;
    if (VCAM_CHECK(result.Ok() && KsWire::ParseFraming(bytes, result.returned, &framing))) {
        VCAM_CHECK_EQ(framing.countItems, 1u);
        VCAM_CHECK(framing.frames >= 1);
        VCAM_CHECK_EQ(framing.maxFrameSize, 1843200u);
    }
    pin->Close();
    VCAM_CHECK(camera_.PinInstances(pinId_, &possible, &current).Ok());
    VCAM_CHECK_EQ(current, 0u);
    log_.EndSection();
}

bool DeviceCheck::StartStream(Stream* stream) {
    KsResult result = camera_.CreatePin(pinId_, format_, &stream->pin);
    if (!VCAM_CHECK(result.Ok() && stream->pin)) {
        log_.Note("creating the capture pin: " + result.detail);
        return false;
    }
    if (!VCAM_CHECK(DeviceCamera::WalkState(*stream->pin, kStop, kPause).Ok())) return false;
    for (unsigned i = 0; i < kReads; ++i) {
        auto read = std::make_unique<KsRead>();
        read->buffer.assign(kYuy2Bytes, 0xCD);
        read->header = KsWire::ReadHeader(read->buffer.data(), kYuy2Bytes);
        if (!VCAM_CHECK(stream->pin->SubmitRead(read.get()).Ok())) return false;
        stream->reads.push_back(std::move(read));
    }
    return VCAM_CHECK(DeviceCamera::WalkState(*stream->pin, kPause, kRun).Ok());
}

bool DeviceCheck::Next(Stream& stream, WireFrameHeader* header, std::vector<uint8_t>* picture) {
    KsRead* read = stream.pin->WaitRead(kReadTimeoutMs);
    if (read == nullptr) return false;
    KsWire::ParseFrameHeader(read->header.data(), read->header.size(), header);
    if (picture != nullptr) *picture = read->buffer;
    const bool ok = read->result.Ok();
    if (ok) {
        std::memset(read->buffer.data(), 0xCD, read->buffer.size());
        read->header = KsWire::ReadHeader(read->buffer.data(), kYuy2Bytes);
        stream.pin->SubmitRead(read);
    }
    return ok;
}

void DeviceCheck::StopStream(Stream& stream) {
    VCAM_CHECK(DeviceCamera::WalkState(*stream.pin, kRun, kStop).Ok());
    size_t back = 0;
    while (stream.pin->WaitRead(kReadTimeoutMs) != nullptr) ++back;
    VCAM_CHECK_EQ(stream.pin->Pending(), 0u);
    VCAM_CHECK_EQ(back, stream.reads.size());
    stream.pin->Close();
}

void DeviceCheck::Streaming() {
    log_.Section("streaming");
    Stream stream;
    if (!StartStream(&stream)) {
        log_.EndSection();
        return;
    }
    const int64_t expectedDuration = kFramePeriod + (broken_ ? 1 : 0);
    int64_t previous = 0;
    unsigned received = 0;
    bool examine = true;  // one fault is reported once
    for (unsigned i = 0; i < frames_; ++i) {
        WireFrameHeader h;
        if (!VCAM_CHECK(Next(stream, &h, nullptr))) break;
        ++received;
        if (!examine) continue;
        bool ok = VCAM_CHECK_EQ(h.dataUsed, 1843200u);
        ok = VCAM_CHECK_EQ(h.duration, expectedDuration) && ok;
        ok = VCAM_CHECK_EQ(h.optionsFlags,
                           KsWire::kOptionsTimeValid | KsWire::kOptionsDurationValid) &&
             ok;
        ok = VCAM_CHECK(h.numerator == 1 && h.denominator == 1) && ok;
        ok = VCAM_CHECK(i == 0 || h.presentationTime > previous) && ok;
        ok = VCAM_CHECK(h.hasFrameInfo) && ok;
        ok = VCAM_CHECK_EQ(h.extendedHeaderSize, static_cast<uint32_t>(KsWire::kFrameInfoSize)) &&
             ok;
        ok = VCAM_CHECK_EQ(h.pictureNumber, static_cast<int64_t>(i + 1)) && ok;
        previous = h.presentationTime;
        examine = ok;
    }
    VCAM_CHECK_EQ(received, frames_);
    StopStream(stream);
    log_.EndSection();
}

void DeviceCheck::Injection() {
    log_.Section("injection");
    Stream stream;
    if (!StartStream(&stream)) {
        log_.EndSection();
        return;
    }
    std::vector<uint8_t> pattern(kI420Bytes);
    TestPattern::Draw(777, pattern.data());
    VCAM_CHECK(camera_.Push(pattern).Ok());
    // Reads already under way may still show the picture before the push.
    bool shown = false;
    std::vector<uint8_t> picture;
    for (unsigned i = 0; i < kReads + 3 && !shown; ++i) {
        WireFrameHeader h;
        if (!Next(stream, &h, &picture)) break;
        shown = TestPattern::DecodeYuy2(picture.data()) == std::optional<uint32_t>(777);
    }
    if (VCAM_CHECK(shown)) {
        VCAM_CHECK_EQ(PushLedger::Fingerprint(picture.data(), kLumaBytes, 2),
                      PushLedger::Fingerprint(pattern.data(), kLumaBytes, 1));
    }
    uint32_t signature = 0;
    VCAM_CHECK(camera_.Signature(&signature).Ok());
    VCAM_CHECK_EQ(signature, KsWire::kSignature);
    StopStream(stream);
    log_.EndSection();
}

}  // namespace vcam
