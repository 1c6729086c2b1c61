#include "tools/vcam/Conformance.h"

#include <host/executive/HostKernel.h>

#include "driver/injection/FrameInjection.h"
#include "driver/pin/Descriptors.h"
#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/Names.h"
#include "tools/vcam/Negotiation.h"
#include "tools/vcam/TestPattern.h"
#include "tools/vcam/ToolError.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace vcam {

namespace {

using host::HostKernel;

const GUID kCategoryVideo = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);
const GUID kCategoryCapture = VCAM_GUID(STATIC_KSCATEGORY_CAPTURE);
const GUID kCategoryCamera = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);
const GUID kVideo = VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO);
const GUID kVideoInfo = VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);
const GUID kVideoCapture = VCAM_GUID(STATIC_PINNAME_VIDEO_CAPTURE);
const GUID kNonPaged = VCAM_GUID(STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED);
const GUID kYuy2 =
    VcamMakeGuid(VCAM_FOURCC_YUY2, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
const GUID kI420 =
    VcamMakeGuid(0x30323449, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
// A GUID no camera registers anything under.
const GUID kUnknown =
    VcamMakeGuid(0x0BADF00D, 0x1234, 0x5678, 0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78);

constexpr NTSTATUS kTimeout = static_cast<NTSTATUS>(0x00000102L);
constexpr uint32_t kSignatureBytes = VCAM_SIGNATURE;
constexpr ULONG kTimeValidDurationValid =
    KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

// The YUY2 picture an I420 push must become: rows 2j and 2j + 1 take chroma
// row j, pixels 2k and 2k + 1 share U[k] and V[k].
std::vector<uint8_t> ExpectedYuy2(const std::vector<uint8_t>& i420) {
    std::vector<uint8_t> yuy2(kYuy2Bytes);
    const uint8_t* y = i420.data();
    const uint8_t* u = y + kLumaBytes;
    const uint8_t* v = u + kLumaBytes / 4;
    for (int row = 0; row < kHeight; ++row) {
        uint8_t* out = yuy2.data() + static_cast<size_t>(row) * kWidth * 2;
        const uint8_t* chromaU = u + static_cast<size_t>(row / 2) * (kWidth / 2);
        const uint8_t* chromaV = v + static_cast<size_t>(row / 2) * (kWidth / 2);
        for (int k = 0; k < kWidth / 2; ++k) {
            out[4 * k] = y[static_cast<size_t>(row) * kWidth + 2 * k];
            out[4 * k + 1] = chromaU[k];
            out[4 * k + 2] = y[static_cast<size_t>(row) * kWidth + 2 * k + 1];
            out[4 * k + 3] = chromaV[k];
        }
    }
    return yuy2;
}

struct Rgb {
    int r, g, b;
};

// BT.601 limited range, as the camera defines its RGB24 conversion.
int LumaOf(Rgb c) {
    return 16 + ((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8);
}
int UOf(Rgb c) {
    return 128 + ((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8);
}
int VOf(Rgb c) {
    return 128 + ((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8);
}

bool Near(int a, int b) {
    return std::abs(a - b) <= 1;
}

}  // namespace

Conformance::Conformance(ConformanceOptions options, std::FILE* out)
    : options_(options), log_(out) {
    const char* brk = std::getenv("VCAM_CHECK_BREAK");
    broken_ = brk != nullptr && std::strcmp(brk, "1") == 0;
}

int Conformance::Run() {
    std::FILE* out = stdout;
    std::fprintf(out, "vcam check: VantriCamera on the host kernel (%s clock)%s\n",
                 options_.virtualClock ? "virtual" : "real",
                 broken_ ? ", self-test: one expectation broken (VCAM_CHECK_BREAK=1)" : "");
    camera_ = std::make_unique<Camera>(options_.virtualClock ? host::ClockMode::Virtual
                                                             : host::ClockMode::Real);
    filter_ = camera_->OpenFilter(kCategoryCamera);
    pinId_ = Negotiation::FindCapturePin(*filter_);
    format_ = Negotiation::Yuy2Format(*filter_, pinId_);

    Identity();
    Formats();
    Pin();
    Streaming();
    Injection();

    log_.Section("teardown");
    VCAM_CHECK_EQ(filter_->Close(), STATUS_SUCCESS);
    filter_.reset();
    VerifierVerdict verdict = camera_->Shutdown();
    camera_.reset();
    VCAM_CHECK_EQ(verdict.violations, 0u);
    VCAM_CHECK_EQ(verdict.poolBlocksLeft, 0u);
    if (!verdict.description.empty()) log_.Note(verdict.description);
    log_.EndSection();

    log_.PrintTotals();
    return log_.Failed() == 0 ? kExitOk : kExitNonConformant;
}

void Conformance::Identity() {
    log_.Section("identity");
    host::Device& device = camera_->Device();
    VCAM_CHECK(device.Started());

    const std::vector<host::DeviceInterface> interfaces = device.Interfaces();
    for (const GUID& category : {kCategoryVideo, kCategoryCapture, kCategoryCamera}) {
        bool found = false;
        for (const host::DeviceInterface& entry : interfaces) {
            found = found || (entry.category == category && entry.referenceString == u"GLOBAL");
        }
        log_.Record(found, "interface of the category with reference string \"GLOBAL\"", __FILE__,
                    __LINE__, Names::GuidName(category));
        std::unique_ptr<host::FilterHandle> other;
        NTSTATUS status = device.OpenFilter(category, &other);
        log_.Record(NT_SUCCESS(status), "device.OpenFilter(category, &other) succeeds", __FILE__,
                    __LINE__, Names::GuidName(category) + ": " + Names::Status(status));
        if (other) VCAM_CHECK_EQ(other->Close(), STATUS_SUCCESS);
    }
    VCAM_CHECK_EQ(interfaces.size(), 3u);
    std::unique_ptr<host::FilterHandle> none;
    VCAM_CHECK(!NT_SUCCESS(device.OpenFilter(kUnknown, &none)));

    // The frame source's handshake.
    uint8_t signature[8];
    std::memset(signature, 0xEE, sizeof signature);
    ULONG returned = 0;
    NTSTATUS status =
        filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, signature, 4, &returned);
    VCAM_CHECK_EQ(status, STATUS_SUCCESS);
    VCAM_CHECK_EQ(returned, 4u);
    uint32_t value = 0;
    std::memcpy(&value, signature, 4);
    VCAM_CHECK_EQ(value, kSignatureBytes);
    VCAM_CHECK(signature[0] == 0x77 && signature[1] == 0xAA && signature[2] == 0x77 &&
               signature[3] == 0xAA);
    VCAM_CHECK(signature[4] == 0xEE);
    // A short buffer: no success, and nothing written past it.
    std::memset(signature, 0xEE, sizeof signature);
    status =
        filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, signature, 3, &returned);
    VCAM_CHECK(!NT_SUCCESS(status) || returned <= 3);
    VCAM_CHECK(signature[3] == 0xEE);
    VCAM_CHECK(!NT_SUCCESS(filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME + 1,
                                                signature, 4, &returned)));
    VCAM_CHECK(!NT_SUCCESS(filter_->GetProperty(kUnknown, 0, signature, 4, &returned)));

    // The capture pin factory.
    ULONG count = 0;
    VCAM_CHECK_EQ(filter_->GetPinFactoryCount(&count), STATUS_SUCCESS);
    VCAM_CHECK_EQ(count, 1u);
    ULONG flow = 0;
    VCAM_CHECK_EQ(
        filter_->GetPinProperty(pinId_, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow, &returned),
        STATUS_SUCCESS);
    VCAM_CHECK_EQ(flow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    ULONG communication = 0;
    VCAM_CHECK_EQ(filter_->GetPinProperty(pinId_, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                          sizeof communication, &returned),
                  STATUS_SUCCESS);
    VCAM_CHECK_EQ(communication, static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH));
    GUID category = {};
    VCAM_CHECK_EQ(filter_->GetPinProperty(pinId_, KSPROPERTY_PIN_CATEGORY, &category,
                                          sizeof category, &returned),
                  STATUS_SUCCESS);
    VCAM_CHECK(category == kVideoCapture);
    KSPIN_CINSTANCES instances = {};
    VCAM_CHECK_EQ(filter_->GetPinInstances(pinId_, &instances), STATUS_SUCCESS);
    VCAM_CHECK_EQ(instances.PossibleCount, 1u);
    VCAM_CHECK_EQ(instances.CurrentCount, 0u);
    ULONG necessary = 0;
    VCAM_CHECK_EQ(filter_->GetPinProperty(pinId_, KSPROPERTY_PIN_NECESSARYINSTANCES, &necessary,
                                          sizeof necessary, &returned),
                  STATUS_SUCCESS);
    VCAM_CHECK_EQ(necessary, 1u);
    log_.EndSection();
}

void Conformance::Formats() {
    log_.Section("formats");
    std::vector<std::vector<uint8_t>> ranges;
    VCAM_CHECK_EQ(filter_->GetDataRanges(pinId_, &ranges), STATUS_SUCCESS);
    VCAM_CHECK_EQ(ranges.size(), 1u);
    if (ranges.empty() || ranges[0].size() != sizeof(KS_DATARANGE_VIDEO)) {
        log_.Record(false, "ranges[0].size() == sizeof(KS_DATARANGE_VIDEO)", __FILE__, __LINE__);
        log_.EndSection();
        return;
    }
    const std::vector<uint8_t>& rangeBytes = ranges[0];
    const KS_DATARANGE_VIDEO& range = Negotiation::AsVideoRange(rangeBytes);
    VCAM_CHECK_EQ(range.DataRange.FormatSize, 296u);
    VCAM_CHECK_EQ(range.DataRange.SampleSize, 1843200u);
    VCAM_CHECK(range.DataRange.MajorFormat == kVideo);
    VCAM_CHECK(range.DataRange.SubFormat == kYuy2);
    VCAM_CHECK(range.DataRange.Specifier == kVideoInfo);
    VCAM_CHECK_EQ(range.bFixedSizeSamples, TRUE);
    VCAM_CHECK_EQ(range.bTemporalCompression, FALSE);
    VCAM_CHECK(range.ConfigCaps.InputSize.cx == 1280 && range.ConfigCaps.InputSize.cy == 720);
    VCAM_CHECK(range.ConfigCaps.MinOutputSize.cx == 1280 &&
               range.ConfigCaps.MinOutputSize.cy == 720);
    VCAM_CHECK(range.ConfigCaps.MaxOutputSize.cx == 1280 &&
               range.ConfigCaps.MaxOutputSize.cy == 720);
    VCAM_CHECK_EQ(range.ConfigCaps.MinFrameInterval, 333667);
    VCAM_CHECK_EQ(range.ConfigCaps.MaxFrameInterval, 640000000);
    VCAM_CHECK_EQ(range.VideoInfoHeader.AvgTimePerFrame, 333667);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biSize, 40u);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 1280);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biHeight, 720);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biBitCount, 16);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biCompression, VCAM_FOURCC_YUY2);
    VCAM_CHECK_EQ(range.VideoInfoHeader.bmiHeader.biSizeImage, 1843200u);

    // The intersection: size query, short buffer, answer.
    const std::vector<uint8_t> request =
        host::FilterHandle::IntersectionRequest(pinId_, {rangeBytes});
    ULONG returned = 0;
    VCAM_CHECK_EQ(
        filter_->Ioctl(request.data(), static_cast<ULONG>(request.size()), nullptr, 0, &returned),
        STATUS_BUFFER_OVERFLOW);
    VCAM_CHECK_EQ(returned, 152u);
    std::vector<uint8_t> answer(152);
    VCAM_CHECK_EQ(filter_->Ioctl(request.data(), static_cast<ULONG>(request.size()), answer.data(),
                                 151, &returned),
                  STATUS_BUFFER_TOO_SMALL);
    VCAM_CHECK_EQ(filter_->Ioctl(request.data(), static_cast<ULONG>(request.size()), answer.data(),
                                 152, &returned),
                  STATUS_SUCCESS);
    VCAM_CHECK_EQ(returned, 152u);
    const KS_DATAFORMAT_VIDEOINFOHEADER& format = Negotiation::AsVideoFormat(answer);
    VCAM_CHECK_EQ(format.DataFormat.FormatSize, 152u);
    VCAM_CHECK_EQ(format.DataFormat.SampleSize, 1843200u);
    VCAM_CHECK(format.DataFormat.SubFormat == kYuy2);
    VCAM_CHECK(format.DataFormat.Specifier == kVideoInfo);
    VCAM_CHECK_EQ(format.VideoInfoHeader.AvgTimePerFrame, 333667);
    VCAM_CHECK_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, 1843200u);

    // Ranges that must not intersect.
    auto intersect = [this](const std::vector<uint8_t>& caller) {
        std::vector<uint8_t> result;
        return filter_->Intersect(pinId_, caller.data(), static_cast<ULONG>(caller.size()),
                                  &result);
    };
    std::vector<uint8_t> changedCaps = rangeBytes;
    reinterpret_cast<KS_DATARANGE_VIDEO*>(changedCaps.data())->ConfigCaps.CropAlignX += 1;
    VCAM_CHECK_EQ(intersect(changedCaps), STATUS_NO_MATCH);
    std::vector<uint8_t> variableSize = rangeBytes;
    reinterpret_cast<KS_DATARANGE_VIDEO*>(variableSize.data())->bFixedSizeSamples = FALSE;
    VCAM_CHECK_EQ(intersect(variableSize), STATUS_NO_MATCH);
    std::vector<uint8_t> shortRange(rangeBytes.begin(), rangeBytes.begin() + 295);
    reinterpret_cast<KSDATARANGE*>(shortRange.data())->FormatSize = 295;
    VCAM_CHECK_EQ(intersect(shortRange), STATUS_NO_MATCH);
    std::vector<uint8_t> otherSubtype = rangeBytes;
    reinterpret_cast<KS_DATARANGE_VIDEO*>(otherSubtype.data())->DataRange.SubFormat = kI420;
    VCAM_CHECK_EQ(intersect(otherSubtype), STATUS_NO_MATCH);

    // Formats that a pin must refuse.
    auto create = [this](const std::vector<uint8_t>& proposed) {
        std::unique_ptr<host::PinHandle> pin;
        NTSTATUS status =
            filter_->CreatePin(pinId_, proposed.data(), static_cast<ULONG>(proposed.size()), &pin);
        if (pin) pin->Close();
        return status;
    };
    std::vector<uint8_t> smaller = rangeBytes;
    auto* smallRange = reinterpret_cast<KS_DATARANGE_VIDEO*>(smaller.data());
    smallRange->VideoInfoHeader.bmiHeader.biWidth = 640;
    smallRange->VideoInfoHeader.bmiHeader.biHeight = 480;
    std::vector<uint8_t> smallFormat;
    VCAM_CHECK_EQ(filter_->Intersect(pinId_, smaller.data(), static_cast<ULONG>(smaller.size()),
                                     &smallFormat),
                  STATUS_SUCCESS);
    if (smallFormat.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        VCAM_CHECK_EQ(Negotiation::AsVideoFormat(smallFormat).VideoInfoHeader.bmiHeader.biSizeImage,
                      614400u);
        VCAM_CHECK_EQ(create(smallFormat), STATUS_NO_MATCH);
    }
    std::vector<uint8_t> undersized = format_;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(undersized.data())
        ->VideoInfoHeader.bmiHeader.biSizeImage = 1843199;
    VCAM_CHECK_EQ(create(undersized), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> topDown = format_;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(topDown.data())
        ->VideoInfoHeader.bmiHeader.biHeight = -720;
    VCAM_CHECK_EQ(create(topDown), STATUS_NO_MATCH);
    std::vector<uint8_t> truncated(format_.begin(), format_.begin() + 151);
    reinterpret_cast<KSDATAFORMAT*>(truncated.data())->FormatSize = 151;
    VCAM_CHECK(!NT_SUCCESS(create(truncated)));
    VCAM_CHECK_EQ(create(format_), STATUS_SUCCESS);
    log_.EndSection();
}

void Conformance::Pin() {
    log_.Section("pin");
    std::unique_ptr<host::PinHandle> pin;
    NTSTATUS status =
        filter_->CreatePin(pinId_, format_.data(), static_cast<ULONG>(format_.size()), &pin);
    VCAM_CHECK_EQ(status, STATUS_SUCCESS);
    if (!pin) {
        log_.EndSection();
        return;
    }
    VCAM_CHECK_EQ(pin->State(), KSSTATE_STOP);
    KSPIN_CINSTANCES instances = {};
    VCAM_CHECK_EQ(filter_->GetPinInstances(pinId_, &instances), STATUS_SUCCESS);
    VCAM_CHECK_EQ(instances.CurrentCount, 1u);
    std::unique_ptr<host::PinHandle> second;
    VCAM_CHECK(!NT_SUCCESS(
        filter_->CreatePin(pinId_, format_.data(), static_cast<ULONG>(format_.size()), &second)));

    VCAM_CHECK_EQ(pin->StreamHeaderSize(),
                  static_cast<ULONG>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)));
    KSALLOCATOR_FRAMING_EX framing = {};
    VCAM_CHECK_EQ(pin->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    const KS_FRAMING_ITEM& item = framing.FramingItem[0];
    VCAM_CHECK_EQ(framing.CountItems, 1u);
    VCAM_CHECK(item.MemoryType == kNonPaged);
    VCAM_CHECK_EQ(item.Flags, static_cast<ULONG>(KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
                                                 KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY));
    VCAM_CHECK_EQ(item.Frames, 2u);
    VCAM_CHECK(item.PhysicalRange.MinFrameSize == 1843200 &&
               item.PhysicalRange.MaxFrameSize == 1843200 && item.PhysicalRange.Stepping == 0);
    VCAM_CHECK(item.FramingRange.Range.MinFrameSize == 1843200 &&
               item.FramingRange.Range.MaxFrameSize == 1843200 &&
               item.FramingRange.Range.Stepping == 0);

    std::vector<uint8_t> buffer(kYuy2Bytes);
    VCAM_CHECK_EQ(pin->Submit(buffer.data(), static_cast<ULONG>(buffer.size())),
                  STATUS_INVALID_DEVICE_STATE);

    // The legal state path, up and down, with a pause and resume.
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->State(), KSSTATE_ACQUIRE);
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->State(), KSSTATE_PAUSE);
    VCAM_CHECK_EQ(pin->SetFormat(format_.data(), static_cast<ULONG>(format_.size())),
                  STATUS_INVALID_DEVICE_STATE);
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->State(), KSSTATE_RUN);
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->State(), KSSTATE_ACQUIRE);

    // One pin at a time holds the camera: a pin on a second filter cannot
    // acquire while this one does, and can once it has stopped.
    std::unique_ptr<host::FilterHandle> otherFilter;
    VCAM_CHECK_EQ(camera_->Device().OpenFilter(kCategoryCamera, &otherFilter), STATUS_SUCCESS);
    if (otherFilter) {
        std::unique_ptr<host::PinHandle> other;
        VCAM_CHECK_EQ(otherFilter->CreatePin(pinId_, format_.data(),
                                             static_cast<ULONG>(format_.size()), &other),
                      STATUS_SUCCESS);
        if (other) {
            VCAM_CHECK_EQ(other->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
            VCAM_CHECK_EQ(other->State(), KSSTATE_STOP);
            VCAM_CHECK_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
            VCAM_CHECK_EQ(other->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
            VCAM_CHECK_EQ(other->SetState(KSSTATE_STOP), STATUS_SUCCESS);
            VCAM_CHECK_EQ(other->Close(), STATUS_SUCCESS);
        }
        VCAM_CHECK_EQ(otherFilter->Close(), STATUS_SUCCESS);
    }
    VCAM_CHECK_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->State(), KSSTATE_STOP);
    VCAM_CHECK_EQ(pin->SetFormat(format_.data(), static_cast<ULONG>(format_.size())),
                  STATUS_SUCCESS);
    VCAM_CHECK_EQ(pin->Close(), STATUS_SUCCESS);
    VCAM_CHECK_EQ(filter_->GetPinInstances(pinId_, &instances), STATUS_SUCCESS);
    VCAM_CHECK_EQ(instances.CurrentCount, 0u);
    log_.EndSection();
}

bool Conformance::StartStream(host::FilterHandle& filter, Stream* stream, unsigned bufferCount) {
    NTSTATUS status =
        filter.CreatePin(pinId_, format_.data(), static_cast<ULONG>(format_.size()), &stream->pin);
    if (!VCAM_CHECK_EQ(status, STATUS_SUCCESS)) return false;
    if (!VCAM_CHECK_EQ(stream->pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS)) return false;
    stream->buffers.assign(bufferCount, std::vector<uint8_t>(kYuy2Bytes, 0xCD));
    for (auto& buffer : stream->buffers) {
        if (!VCAM_CHECK_EQ(stream->pin->Submit(buffer.data(), static_cast<ULONG>(buffer.size())),
                           STATUS_SUCCESS)) {
            return false;
        }
    }
    return VCAM_CHECK_EQ(stream->pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
}

bool Conformance::Next(Stream& stream, Delivery* delivery, bool keepPicture) {
    host::CompletedFrame frame;
    if (stream.pin->TakeCompleted(&frame) != STATUS_SUCCESS) {
        if (stream.pin->WaitForCompletion(std::chrono::milliseconds(1000)) == kTimeout)
            return false;
        if (stream.pin->TakeCompleted(&frame) != STATUS_SUCCESS) return false;
    }
    delivery->status = frame.status;
    delivery->header = frame.header;
    delivery->hasFrameInfo = frame.hasFrameInfo;
    delivery->frameInfo = frame.frameInfo;
    const auto* data = static_cast<const uint8_t*>(frame.data);
    if (keepPicture) {
        delivery->picture.assign(data, data + frame.bufferSize);
    } else {
        delivery->picture.clear();
    }
    std::memset(frame.data, 0xCD, frame.bufferSize);
    if (frame.status == STATUS_SUCCESS) stream.pin->Submit(frame.data, frame.bufferSize);
    return true;
}

bool Conformance::Fresh(Stream& stream, Delivery* delivery) {
    // Whatever is back already was filled before now. The first delivery
    // after now may come from a tick that was copying while the caller
    // pushed; the second one's tick started after it.
    host::CompletedFrame old;
    while (stream.pin->TakeCompleted(&old) == STATUS_SUCCESS) {
        if (old.status == STATUS_SUCCESS) stream.pin->Submit(old.data, old.bufferSize);
    }
    return Next(stream, delivery, false) && Next(stream, delivery, true);
}

NTSTATUS Conformance::Push(host::FilterHandle& filter, const std::vector<uint8_t>& frame) {
    return filter.SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame.data(),
                              static_cast<ULONG>(frame.size()));
}

void Conformance::Streaming() {
    log_.Section("streaming");
    Stream stream;
    if (!StartStream(*filter_, &stream)) {
        log_.EndSection();
        return;
    }
    // The Duration every frame must carry; the self-test expects it off by one.
    const LONGLONG expectedDuration = VCAM_FRAME_INTERVAL + (broken_ ? 1 : 0);
    int64_t previousTime = 0;
    int64_t firstTime = 0;
    unsigned received = 0;
    // Without a master clock (the client assigned none: master-clock=never)
    // a frame carries no time, only its duration.
    const bool timed = stream.pin->HasMasterClock();
    const ULONG expectedFlags = timed ? kTimeValidDurationValid
                                      : static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
    // After the first frame with a failing field, later frames are still
    // received but not examined: one fault is reported once.
    bool examine = true;
    for (unsigned i = 0; i < options_.frames; ++i) {
        Delivery frame;
        if (!VCAM_CHECK(Next(stream, &frame, i == 0))) break;
        ++received;
        if (!examine) continue;
        const KSSTREAM_HEADER& h = frame.header;
        bool ok = VCAM_CHECK_EQ(frame.status, STATUS_SUCCESS);
        ok = VCAM_CHECK_EQ(h.DataUsed, 1843200u) && ok;
        ok = VCAM_CHECK_EQ(h.Duration, expectedDuration) && ok;
        ok = VCAM_CHECK_EQ(h.OptionsFlags, expectedFlags) && ok;
        ok = VCAM_CHECK(h.PresentationTime.Numerator == 1 && h.PresentationTime.Denominator == 1) &&
             ok;
        ok = VCAM_CHECK(!timed || i == 0 || h.PresentationTime.Time > previousTime) && ok;
        ok = VCAM_CHECK(frame.hasFrameInfo) && ok;
        ok = VCAM_CHECK_EQ(frame.frameInfo.ExtendedHeaderSize,
                           static_cast<ULONG>(sizeof(KS_FRAME_INFO))) &&
             ok;
        ok = VCAM_CHECK_EQ(frame.frameInfo.PictureNumber, static_cast<LONGLONG>(i + 1)) && ok;
        ok = VCAM_CHECK_EQ(frame.frameInfo.DropCount, 0) && ok;
        ok = VCAM_CHECK_EQ(frame.frameInfo.dwFrameFlags, 0u) && ok;
        if (timed && i > 0) {
            const int64_t interval = h.PresentationTime.Time - previousTime;
            if (options_.virtualClock) {
                // A timer is seen at the clock interrupt at or after its due
                // time, so a frame may come up to one interrupt interval
                // early or late against the period; the schedule itself does
                // not drift (checked over the whole run below).
                const int64_t off = interval - VCAM_FRAME_INTERVAL;
                VCAM_CHECK((off < 0 ? -off : off) < HostKernel::TickInterval());
            } else if (interval > VCAM_FRAME_INTERVAL * 3 / 2 ||
                       interval < VCAM_FRAME_INTERVAL / 2) {
                VCAM_WARN("frame " + std::to_string(i + 1) + " came " +
                          std::to_string(interval / 10000.0) + " ms after the previous one");
            }
        }
        if (i == 0) {
            // Nothing was pushed: the picture is black (Y 0, U and V 128)
            // and covers the whole buffer.
            bool black = frame.picture.size() == kYuy2Bytes;
            for (size_t b = 0; black && b < frame.picture.size(); b += 2) {
                black = frame.picture[b] == 0x00 && frame.picture[b + 1] == 0x80;
            }
            VCAM_CHECK(black);
        }
        if (i == 0) {
            firstTime = h.PresentationTime.Time;
        }
        previousTime = h.PresentationTime.Time;
        examine = ok;
    }
    VCAM_CHECK_EQ(received, options_.frames);
    if (timed && options_.virtualClock && received > 1 && examine) {
        // The long-run rate is exact: the last frame lies within one clock
        // interrupt interval of its place on the schedule.
        const int64_t drift =
            (previousTime - firstTime) - static_cast<int64_t>(received - 1) * VCAM_FRAME_INTERVAL;
        VCAM_CHECK((drift < 0 ? -drift : drift) < HostKernel::TickInterval());
    }

    // A pause keeps the queued buffers; the numbering starts again after it.
    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    host::CompletedFrame drained;
    while (stream.pin->TakeCompleted(&drained) == STATUS_SUCCESS) {
        VCAM_CHECK_EQ(drained.status, STATUS_SUCCESS);
        stream.pin->Submit(drained.data, drained.bufferSize);
    }
    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Delivery resumed;
    if (VCAM_CHECK(Next(stream, &resumed, false))) {
        VCAM_CHECK_EQ(resumed.frameInfo.PictureNumber, 1);
        VCAM_CHECK(!timed || resumed.header.PresentationTime.Time > previousTime);
    }

    // Down to STOP: every buffer comes back, the unfilled ones cancelled.
    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    size_t back = 0;
    while (stream.pin->TakeCompleted(&drained) == STATUS_SUCCESS) {
        ++back;
        VCAM_CHECK(drained.status == STATUS_CANCELLED || drained.status == STATUS_SUCCESS);
        VCAM_CHECK(drained.status == STATUS_SUCCESS || drained.header.DataUsed == 0);
    }
    VCAM_CHECK_EQ(back, stream.buffers.size());
    VCAM_CHECK_EQ(stream.pin->Close(), STATUS_SUCCESS);
    log_.EndSection();
}

void Conformance::Injection() {
    log_.Section("injection");
    std::vector<uint8_t> pattern(kI420Bytes);

    // Without a running stream a push succeeds and is dropped.
    TestPattern::Draw(111, pattern.data());
    VCAM_CHECK_EQ(Push(*filter_, pattern), STATUS_SUCCESS);
    VCAM_CHECK_EQ(filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, nullptr, 0),
                  STATUS_SUCCESS);

    Stream stream;
    if (!StartStream(*filter_, &stream)) {
        log_.EndSection();
        return;
    }
    Delivery frame;
    if (VCAM_CHECK(Next(stream, &frame, true))) {
        VCAM_CHECK(frame.picture.size() == kYuy2Bytes && frame.picture[0] == 0x00 &&
                   frame.picture[1] == 0x80);
        VCAM_CHECK(!TestPattern::DecodeYuy2(frame.picture.data()).has_value());
    }

    // An I420 push becomes the picture, converted exactly.
    TestPattern::Draw(777, pattern.data());
    VCAM_CHECK_EQ(Push(*filter_, pattern), STATUS_SUCCESS);
    if (VCAM_CHECK(Fresh(stream, &frame))) {
        VCAM_CHECK(frame.picture == ExpectedYuy2(pattern));
        VCAM_CHECK(TestPattern::DecodeYuy2(frame.picture.data()) == std::optional<uint32_t>(777));
    }
    // The same picture stays until the next push.
    if (VCAM_CHECK(Next(stream, &frame, true))) {
        VCAM_CHECK(TestPattern::DecodeYuy2(frame.picture.data()) == std::optional<uint32_t>(777));
    }

    // An RGB24 push (B, G, R bytes, first row the top): orange over blue.
    const Rgb top{230, 120, 30};
    const Rgb bottom{20, 60, 200};
    std::vector<uint8_t> rgb(kRgb24Bytes);
    for (int row = 0; row < kHeight; ++row) {
        const Rgb c = row < kHeight / 2 ? top : bottom;
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = rgb.data() + (static_cast<size_t>(row) * kWidth + x) * 3;
            p[0] = static_cast<uint8_t>(c.b);
            p[1] = static_cast<uint8_t>(c.g);
            p[2] = static_cast<uint8_t>(c.r);
        }
    }
    VCAM_CHECK_EQ(Push(*filter_, rgb), STATUS_SUCCESS);
    if (VCAM_CHECK(Fresh(stream, &frame)) && frame.picture.size() == kYuy2Bytes) {
        auto at = [&frame](int row, int pair) {
            return frame.picture.data() + (static_cast<size_t>(row) * kWidth + 2 * pair) * 2;
        };
        for (int row : {0, kHeight / 2 - 1}) {
            const uint8_t* g = at(row, 300);
            VCAM_CHECK(Near(g[0], LumaOf(top)) && Near(g[2], LumaOf(top)));
            VCAM_CHECK(Near(g[1], UOf(top)) && Near(g[3], VOf(top)));
        }
        for (int row : {kHeight / 2, kHeight - 1}) {
            const uint8_t* g = at(row, 300);
            VCAM_CHECK(Near(g[0], LumaOf(bottom)) && Near(g[2], LumaOf(bottom)));
            VCAM_CHECK(Near(g[1], UOf(bottom)) && Near(g[3], VOf(bottom)));
        }
    }

    // While paused a push is dropped: after the resume the RGB picture is
    // still there; a push after the resume shows.
    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    TestPattern::Draw(888, pattern.data());
    VCAM_CHECK_EQ(Push(*filter_, pattern), STATUS_SUCCESS);
    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    if (VCAM_CHECK(Fresh(stream, &frame)) && frame.picture.size() == kYuy2Bytes) {
        VCAM_CHECK(TestPattern::DecodeYuy2(frame.picture.data()) != std::optional<uint32_t>(888));
        VCAM_CHECK(Near(frame.picture[0], LumaOf(top)));
    }
    TestPattern::Draw(999, pattern.data());
    VCAM_CHECK_EQ(Push(*filter_, pattern), STATUS_SUCCESS);
    if (VCAM_CHECK(Fresh(stream, &frame))) {
        VCAM_CHECK(TestPattern::DecodeYuy2(frame.picture.data()) == std::optional<uint32_t>(999));
    }
    // An empty push changes nothing.
    VCAM_CHECK_EQ(filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, nullptr, 0),
                  STATUS_SUCCESS);
    if (VCAM_CHECK(Fresh(stream, &frame))) {
        VCAM_CHECK(TestPattern::DecodeYuy2(frame.picture.data()) == std::optional<uint32_t>(999));
    }
    // The signature answers the same while streaming.
    uint32_t signature = 0;
    ULONG returned = 0;
    VCAM_CHECK_EQ(filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, &signature,
                                       sizeof signature, &returned),
                  STATUS_SUCCESS);
    VCAM_CHECK_EQ(signature, kSignatureBytes);

    VCAM_CHECK_EQ(stream.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    host::CompletedFrame drained;
    while (stream.pin->TakeCompleted(&drained) == STATUS_SUCCESS) {
    }
    VCAM_CHECK_EQ(stream.pin->Close(), STATUS_SUCCESS);
    log_.EndSection();
}

}  // namespace vcam
