#include "tools/vcam/CaptureSession.h"

#include <host/executive/HostKernel.h>

#include "driver/injection/FrameInjection.h"
#include "tools/vcam/Interrupt.h"
#include "tools/vcam/Names.h"
#include "tools/vcam/Negotiation.h"
#include "tools/vcam/SnapshotWriter.h"
#include "tools/vcam/SourceFactory.h"
#include "tools/vcam/TestPattern.h"
#include "tools/vcam/ToolError.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vcam {

namespace {

using host::HostKernel;

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr double kDefaultSeconds = 5.0;
// A producer this far behind its schedule (a slow pipe) starts the schedule
// again from now instead of pushing back to back to catch up.
constexpr int64_t kRebaseAfter = 4 * kFramePeriod;

double Milliseconds(int64_t hundredNanoseconds) {
    return hundredNanoseconds / 10000.0;
}

bool Wanted(const std::string& path) {
    return !path.empty() && path != "none";
}

}  // namespace

CaptureSession::CaptureSession(RunOptions options) : options_(std::move(options)) {}

CaptureSession::~CaptureSession() {
    stop_ = true;
    if (producer_.joinable()) producer_.join();
    // Best effort on the way out of an error: the pin and filter close
    // themselves, the camera removes its device.
    outputQueue_.reset();
    pin_.reset();
    filter_.reset();
    camera_.reset();
}

std::unique_ptr<FrameSource> CaptureSession::OpenSource() const {
    if (options_.buffers < 1 || options_.buffers > 64) {
        throw ToolError(kExitUsage, "--buffers takes 1 to 64 capture buffers");
    }
    return SourceFactory::Open(
        {options_.input, options_.inputFormat, options_.rate, options_.loop});
}

RunReport CaptureSession::Run() {
    source_ = OpenSource();
    patternSource_ = options_.input.empty();
    fingerprintSource_ = !patternSource_ && source_->Format() == PixelFormat::I420;
    report_.clock = options_.virtualClock ? "virtual" : "real";
    report_.source = source_->Describe();
    report_.latencyMeasurable = patternSource_ || fingerprintSource_;
    if (Wanted(options_.output)) {
        writer_ = std::make_unique<Y4mWriter>(options_.output, FrameRate::Ntsc());
        outputQueue_ = std::make_unique<OutputQueue>(writer_.get());
        report_.output = options_.output == "-" ? "standard output" : options_.output;
    }

    Open();
    if (options_.virtualClock) {
        StreamVirtual();
    } else {
        StreamReal();
    }
    Close();
    return report_;
}

void CaptureSession::Open() {
    camera_ = std::make_unique<Camera>(options_.virtualClock ? host::ClockMode::Virtual
                                                             : host::ClockMode::Real);
    filter_ = camera_->OpenFilter(VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA));

    // The frame source's handshake: the injection set answers its signature.
    uint32_t signature = 0;
    ULONG returned = 0;
    NTSTATUS status = filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, &signature,
                                           sizeof signature, &returned);
    if (!NT_SUCCESS(status) || returned != sizeof signature || signature != VCAM_SIGNATURE) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%08X, %u bytes", signature,
                      static_cast<unsigned>(returned));
        throw ToolError(kExitCamera, "the filter does not answer the frame injection signature: " +
                                         Names::Status(status) + ", " + text);
    }

    const ULONG pinId = Negotiation::FindCapturePin(*filter_);
    std::vector<uint8_t> format = Negotiation::Yuy2Format(*filter_, pinId);
    host::PinOptions pinOptions;
    pinOptions.clock = options_.clock;
    status = filter_->CreatePin(pinId, format.data(), static_cast<ULONG>(format.size()), &pin_,
                                pinOptions);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera, "creating the capture pin failed: " + Names::Status(status));
    }
    // Up to PAUSE (the engine is claimed), queue the buffers, then RUN: the
    // first tick finds them waiting.
    status = pin_->SetState(KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera,
                        "moving the capture pin to KSSTATE_PAUSE failed: " + Names::Status(status));
    }
    const ULONG imageSize =
        Negotiation::AsVideoFormat(format).VideoInfoHeader.bmiHeader.biSizeImage;
    buffers_.assign(options_.buffers, std::vector<uint8_t>(imageSize));
    for (auto& buffer : buffers_) {
        status = pin_->Submit(buffer.data(), imageSize);
        if (!NT_SUCCESS(status)) {
            throw ToolError(kExitCamera,
                            "queueing a capture buffer failed: " + Names::Status(status));
        }
    }
    start_ = HostKernel::Now();
    status = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera,
                        "moving the capture pin to KSSTATE_RUN failed: " + Names::Status(status));
    }
    // Stream time is the master clock's, not the run request's: it runs from
    // when the class library moved the clock (after the driver started its
    // schedule; on the real clock that move takes milliseconds). The clock
    // this client owns says where its zero lies.
    streamOrigin_ = start_;
    int64_t streamTime = 0;
    int64_t systemTime = 0;
    if (pin_->ClockCorrelatedTime(&streamTime, &systemTime))
        streamOrigin_ = systemTime - streamTime;

    double seconds = options_.seconds;
    if (seconds < 0 && options_.frames == 0 && !source_->Finite()) seconds = kDefaultSeconds;
    deadline_ = seconds < 0 ? kNever : start_ + static_cast<int64_t>(seconds * 1e7);
}

bool CaptureSession::ReadNext() {
    if (!source_->Next(frame_)) {
        sourceEnded_ = true;
        return false;
    }
    return true;
}

void CaptureSession::PushCurrent() {
    const uint64_t sequence = nextSequence_++;
    std::optional<uint64_t> fingerprint;
    if (fingerprintSource_) fingerprint = PushLedger::Fingerprint(frame_.data(), kLumaBytes, 1);
    ledger_.Record(sequence, HostKernel::Now(), fingerprint);
    NTSTATUS status = filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame_.data(),
                                           static_cast<ULONG>(frame_.size()));
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera, "pushing frame " + std::to_string(sequence) +
                                         " through the frame injection property failed: " +
                                         Names::Status(status));
    }
    lastPushDone_ = HostKernel::Now();
    ++pushed_;
}

void CaptureSession::StreamVirtual() {
    const FrameRate rate = source_->Rate();
    const int64_t base = start_ + kFramePeriod / 2;
    bool haveFrame = ReadNext();
    if (!haveFrame) throw ToolError(kExitInput, source_->Describe() + ": no frame to push");
    uint64_t index = 0;
    int64_t nextPush = base + rate.OffsetOf(index);
    while (!Done()) {
        int64_t target = deadline_;
        if (haveFrame) target = std::min(target, nextPush);
        // The clock interrupt at which the next timer expires (its due time
        // rounded up to the interrupt grid).
        const int64_t due = HostKernel::NextExpiry();
        if (due >= 0) target = std::min(target, due);
        if (target == kNever)
            throw ToolError(kExitCamera, "the camera stopped ticking with nothing left to push");
        // Runs every tick due up to and including `target` first.
        HostKernel::AdvanceTo(std::max(target, HostKernel::Now()));
        DrainCompletions();
        if (Done()) break;
        if (haveFrame && HostKernel::Now() >= nextPush) {
            PushCurrent();
            haveFrame = ReadNext();
            nextPush = base + rate.OffsetOf(++index);
        }
        UpdateStatus(false);
    }
}

void CaptureSession::Produce() {
    try {
        const FrameRate rate = source_->Rate();
        int64_t base = start_ + kFramePeriod / 2;
        for (uint64_t index = 0; !stop_; ++index) {
            if (!ReadNext()) break;
            const int64_t due = base + rate.OffsetOf(index);
            for (;;) {
                const int64_t wait = due - HostKernel::Now();
                if (wait <= 0 || stop_) break;
                // Short slices keep the producer responsive to a stop.
                std::this_thread::sleep_for(
                    std::chrono::microseconds(std::min<int64_t>(wait / 10, 50000)));
            }
            if (stop_) break;
            if (HostKernel::Now() - due > kRebaseAfter)
                base = HostKernel::Now() - rate.OffsetOf(index);
            PushCurrent();
        }
    } catch (...) {
        producerError_ = std::current_exception();
    }
    if (producerError_) stop_ = true;
}

void CaptureSession::StreamReal() {
    producer_ = std::thread([this] { Produce(); });
    while (!Done() && !stop_) {
        int64_t slice = 50;
        if (deadline_ != kNever) {
            slice = std::max<int64_t>(
                1, std::min<int64_t>(slice, (deadline_ - HostKernel::Now()) / 10000 + 1));
        }
        pin_->WaitForCompletion(std::chrono::milliseconds(slice));
        DrainCompletions();
        UpdateStatus(false);
    }
    stop_ = true;
    producer_.join();
    if (producerError_) {
        accepting_ = false;
        std::rethrow_exception(producerError_);
    }
    if (pushed_ == 0 && sourceEnded_)
        throw ToolError(kExitInput, source_->Describe() + ": no frame to push");
}

bool CaptureSession::Done() {
    if (accepting_ && (LimitReached() || HostKernel::Now() >= deadline_)) accepting_ = false;
    return !accepting_;
}

bool CaptureSession::LimitReached() const {
    return Interrupt::Requested() || readerGone_ ||
           (options_.frames != 0 && report_.framesDelivered >= options_.frames) ||
           (sourceEnded_ && pushed_ != 0 && report_.framesDelivered != 0 &&
            lastPresentation_ > lastPushDone_.load());
}

void CaptureSession::DrainCompletions() {
    host::CompletedFrame done;
    while (pin_->TakeCompleted(&done) == STATUS_SUCCESS) {
        // Buffers the stop hands back unfilled: flushed from the queue
        // (cancelled) or released by the driver with nothing in them.
        if (done.status == STATUS_CANCELLED || (!accepting_ && done.header.DataUsed == 0)) {
            ++report_.framesCancelled;
            continue;
        }
        if (!NT_SUCCESS(done.status)) {
            throw ToolError(kExitCamera,
                            "a capture buffer came back with " + Names::Status(done.status));
        }
        // Past the run's end, buffers are neither counted nor queued again.
        // A delivery stamped at or after the deadline is past the end.
        if (!accepting_) continue;
        if (SystemTimeOf(done.header) >= deadline_) {
            accepting_ = false;
            continue;
        }
        Deliver(done);
        if (LimitReached()) {
            accepting_ = false;
            continue;
        }
        NTSTATUS status = pin_->Submit(done.data, done.bufferSize);
        if (!NT_SUCCESS(status)) {
            throw ToolError(kExitCamera,
                            "queueing a capture buffer again failed: " + Names::Status(status));
        }
    }
}

int64_t CaptureSession::SystemTimeOf(const KSSTREAM_HEADER& header) const {
    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0) {
        return streamOrigin_ + header.PresentationTime.Time;
    }
    return HostKernel::Now();
}

void CaptureSession::Deliver(const host::CompletedFrame& frame) {
    const KSSTREAM_HEADER& header = frame.header;
    const auto* data = static_cast<const uint8_t*>(frame.data);
    const int64_t presentation = SystemTimeOf(header);
    if (header.DataUsed < kYuy2Bytes) ++report_.shortFrames;
    const int64_t expectedPicture = static_cast<int64_t>(report_.framesDelivered) + 1;
    if (!frame.hasFrameInfo || frame.frameInfo.PictureNumber != expectedPicture)
        ++report_.pictureNumberErrors;

    presentations_.push_back(presentation);
    lastPresentation_ = presentation;
    ++report_.framesDelivered;
    report_.AddDelivery(presentation);

    // Which push it shows, and how long that push took to get here.
    std::optional<PushLedger::Push> push;
    if (patternSource_) {
        std::optional<uint32_t> sequence = TestPattern::DecodeYuy2(data);
        if (sequence) push = ledger_.BySequence(*sequence);
    } else if (fingerprintSource_) {
        push = ledger_.ByFingerprint(PushLedger::Fingerprint(data, kLumaBytes, 2));
    }
    if (push && ledger_.FirstDelivery(push->sequence)) {
        report_.latencyMs.Add(Milliseconds(presentation - push->time));
    }

    if (outputQueue_ && !outputQueue_->Enqueue(data)) readerGone_ = true;
    if (Wanted(options_.snapshot)) lastFrame_.assign(data, data + kYuy2Bytes);
}

void CaptureSession::UpdateStatus(bool force) {
    if (!status_.Enabled()) return;
    char text[160];
    const double seconds = (HostKernel::Now() - start_) / 1e7;
    const double fps = report_.Rate();
    std::snprintf(text, sizeof text, "vcam: %6.2f s  pushed %llu  delivered %llu  %.3f fps",
                  seconds, static_cast<unsigned long long>(pushed_.load()),
                  static_cast<unsigned long long>(report_.framesDelivered), fps);
    status_.Update(text, force);
}

void CaptureSession::AttributeTicks() {
    // Tick n is due at start + n x P and completes its frame no earlier, and
    // deliveries come in tick order. Walking back from the last delivery,
    // each one gets the latest tick that is due by its PresentationTime and
    // earlier than the next delivery's tick: a delivery that ran a period or
    // more late is then told apart from a tick that had no buffer, as far as
    // times can tell them apart.
    int64_t next = std::numeric_limits<int64_t>::max();
    std::vector<int64_t> ticks(presentations_.size());
    for (size_t i = presentations_.size(); i-- > 0;) {
        const int64_t due = (presentations_[i] - start_) / kFramePeriod;
        ticks[i] = std::min(due, next - 1);
        next = ticks[i];
    }
    for (size_t i = 0; i < presentations_.size(); ++i) {
        report_.latenessMs.Add(
            Milliseconds(presentations_[i] - (start_ + ticks[i] * kFramePeriod)));
    }
    report_.lastTick =
        ticks.empty() ? 0 : static_cast<uint64_t>(std::max<int64_t>(ticks.back(), 0));
}

void CaptureSession::NoteTickDurations() {
    // The tick is the DPC routine of the camera's timer: of the routines a
    // timer queued, the one that ran most often.
    const host::DpcRoutineTiming* tick = nullptr;
    const std::vector<host::DpcRoutineTiming> timings = host::HostKernel::DpcRoutineTimings();
    for (const host::DpcRoutineTiming& timing : timings) {
        if (timing.timerDpc && (tick == nullptr || timing.runs > tick->runs)) {
            tick = &timing;
        }
    }
    if (tick != nullptr) {
        for (double microseconds : tick->microseconds) {
            report_.tickMicroseconds.Add(microseconds);
        }
    }
}

void CaptureSession::Close() {
    accepting_ = false;
    status_.Clear();
    // Down to STOP: the engine stops and the buffers still queued come back
    // cancelled; then the pin, the filter and the device go away.
    NTSTATUS status = pin_->SetState(KSSTATE_STOP);
    DrainCompletions();
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera, "stopping the capture pin failed: " + Names::Status(status));
    }
    pin_->Close();
    DrainCompletions();
    pin_.reset();
    NoteTickDurations();
    filter_->Close();
    filter_.reset();
    VerifierVerdict verdict = camera_->Shutdown();
    camera_.reset();

    report_.framesPushed = pushed_;
    report_.violations = verdict.violations;
    report_.poolBlocksLeft = verdict.poolBlocksLeft;
    if (!verdict.description.empty()) report_.verifierText = verdict.description;
    report_.streamSeconds = report_.framesDelivered ? (lastPresentation_ - start_) / 1e7 : 0.0;
    report_.deliveredFps = report_.Rate();
    AttributeTicks();
    if (outputQueue_) {
        outputQueue_->Finish();
        outputQueue_.reset();
        writer_.reset();
    }
    if (Wanted(options_.snapshot)) {
        if (lastFrame_.empty()) {
            throw ToolError(kExitCamera,
                            "no frame was delivered, so there is no snapshot to write");
        }
        SnapshotWriter::WriteYuy2(options_.snapshot, lastFrame_.data());
        report_.snapshot = options_.snapshot;
    }
}

}  // namespace vcam
