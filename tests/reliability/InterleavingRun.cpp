#include "reliability/InterleavingRun.h"

#include <host/executive/HostKernel.h>
#include <host/executive/Suspension.h>
#include <host/verifier/Verifier.h>

#include "driver/injection/FrameInjection.h"
#include "host/ks/KsFaults.h"
#include "host/ks/KsStatus.h"
#include "host/variants/Variants.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <cstdio>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace reliability {

namespace {

using host::HostKernel;
using host::Verifier;
using namespace camtest;

const GUID kCameraCategory = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);
const GUID kCaptureCategory = VCAM_GUID(STATIC_KSCATEGORY_CAPTURE);

// Steps kept for a failure report.
constexpr size_t kHistory = 12;
// The wrap-up waits at most this many ticks for its last buffer.
constexpr int kWrapUpTicks = 64;
// Capture buffer memory kept for reuse (multi-megabyte blocks are costly to
// map afresh, above all under the address sanitizer).
constexpr size_t kMaxSpares = 10;

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

InterleavingRun::InterleavingRun(uint64_t seed, int steps, bool trace)
    : seed_(seed), steps_(steps), trace_(trace) {}

InterleavingRun::~InterleavingRun() {
    HostKernel::SetDpcOverlapChooser(nullptr);
    if (source_ != nullptr) {
        // The run ended early: the source's thread runs to its end first.
        host::Suspension::ResumeAll();
        source_->thread.join();
        source_.reset();
    }
    // The drawn variants end with the run (a VCAM_VARIANTS selection stays).
    if (std::getenv("VCAM_VARIANTS") == nullptr) {
        host::Variants::Reset();
    }
    pin_.reset();
    filter_.reset();
    if (device_ != nullptr) {
        device_->Remove();
        device_.reset();
    }
    driver_.reset();
}

namespace {

// The platform variants a seed runs under, drawn from the seed alone (so a
// seed replays exactly): each switch keeps its default or takes one of its
// other options, half the time each. A selection made through VCAM_VARIANTS
// ("" for the defaults) stands instead.
std::string DrawVariants(uint64_t seed) {
    if (std::getenv("VCAM_VARIANTS") != nullptr) {
        return host::Variants::Describe();
    }
    std::mt19937_64 pick(seed ^ 0x56415249414E5453ull);
    host::Variants::Reset();
    for (int v = 0; v < static_cast<int>(host::Variant::Count); ++v) {
        const auto variant = static_cast<host::Variant>(v);
        const int options = host::Variants::Info(variant).optionCount;
        const uint64_t roll = pick();
        if (options > 1 && (roll & 1) != 0) {
            host::Variants::Set(variant, 1 + static_cast<int>((roll >> 1) % (options - 1)));
        }
    }
    return host::Variants::Describe();
}

}  // namespace

std::string InterleavingRun::Run() {
    HostKernel::Boot(host::ClockMode::Virtual);
    variants_ = DrawVariants(seed_);
    if (trace_) {
        std::printf("seed %llu variants: %s\n", static_cast<unsigned long long>(seed_),
                    variants_.c_str());
    }
    // A second processor runs the engine's re-armed tick beside the run that
    // re-armed it whenever the seed's own draw says so (under
    // one-shot-rearm=overlap); a generator of its own, so that the scheduler's
    // draws stay those of the seed.
    overlapPick_.seed(seed_ ^ 0x4F5645524C415053ull);
    overlapRate_ = static_cast<int>(overlapPick_() % 4);  // in quarters: 0 to 3
    HostKernel::SetDpcOverlapChooser([this] {
        ++overlapAsked_;
        const bool overlap = static_cast<int>(overlapPick_() % 4) < overlapRate_;
        overlaps_ += overlap ? 1 : 0;
        return overlap;
    });
    Verifier::Reset();
    host::KsFaults::Clear();
    poolMark_ = Verifier::AllocationMark();
    if (!SetUp()) {
        return failure_;
    }
    InterleavingScheduler scheduler(seed_);
    for (int i = 0; i < steps_; ++i) {
        if (!Perform(scheduler.Next(View()))) {
            return failure_;
        }
    }
    if (!WrapUp()) {
        return failure_;
    }
    return std::string();
}

bool InterleavingRun::Fail(const std::string& text) {
    if (failure_.empty()) {
        failedStep_ = step_;
        failure_ = doing_ + ": " + text + " [variants: " + variants_ + "]";
        if (!history_.empty()) {
            failure_ += "\n  the steps before it:";
            for (const std::string& line : history_) {
                failure_ += "\n    " + line;
            }
        }
    }
    return false;
}

CameraView InterleavingRun::View() const {
    CameraView view;
    view.filterOpen = filter_ != nullptr;
    view.pinOpen = pin_ != nullptr;
    view.pinState = pinState_;
    view.outstanding = outstanding_.size();
    view.starving = starving_ != Starving::None;
    view.pushSuspended = source_ != nullptr;
    return view;
}

uint64_t InterleavingRun::OutstandingDataBytes() const {
    uint64_t bytes = 0;
    for (const auto& entry : outstanding_) {
        if (!entry.second.noData) {
            bytes += entry.second.size;
        }
    }
    return bytes;
}

// ---------------------------------------------------------------- one step

bool InterleavingRun::Perform(const Action& action) {
    ++step_;
    stepStart_.store(HostKernel::Now());
    doing_ = Describe(action);
    deliveredThisStep_ = 0;
    returnedThisStep_ = 0;
    struckThisStep_ = false;
    if (source_ != nullptr && step_ >= source_->resumeAt) {
        doing_ = "the suspended push resumes, then " + doing_;
        if (!ResumeSource()) {
            return false;
        }
    }
    const bool runningBefore = pin_ != nullptr && pinState_ == KSSTATE_RUN;
    const uint64_t queuedBytes = OutstandingDataBytes();
    const int64_t before = HostKernel::Now();
    const int64_t nextDue = HostKernel::NextExpiry();

    if (!Execute(action)) {
        return false;
    }
    Struck();  // a failure absorbed on the way (a clone or queue entry in Process)
    if (struckThisStep_) {
        lastStrike_ = HostKernel::Now();
    }
    if (pin_ != nullptr) {
        if (!Drain(pin_.get())) {
            return false;
        }
        if (pin_->State() != pinState_) {
            return Fail(std::string("the pin is in ") + StateName(pin_->State()) +
                        ", the client walked it to " + StateName(pinState_));
        }
    }
    // Everything comes back at STOP but, where the class library keeps its
    // leading edge, the one frame at the edge (the oldest one out: those
    // behind the edge went with the clones the driver deletes, those ahead of
    // it are cancelled); it stays queued for the next run or the close.
    const size_t keptAtStop =
        pin_ != nullptr && host::Variants::Is(host::Variant::LeadingEdgeAtStop, "kept") ? 1 : 0;
    if ((pin_ == nullptr || pinState_ == KSSTATE_STOP) && outstanding_.size() > keptAtStop) {
        return Fail(std::to_string(outstanding_.size()) + " buffer(s), the first ticket " +
                    std::to_string(outstanding_.begin()->first) + ", still out though the pin is " +
                    (pin_ == nullptr ? "closed" : "stopped"));
    }
    if (pin_ != nullptr && pinState_ == KSSTATE_STOP && outstanding_.size() == 1) {
        // The one kept is the frame the leading edge is on.
        const Outstanding& kept = outstanding_.begin()->second;
        PKSSTREAM_POINTER edge =
            KsPinGetLeadingEdgeStreamPointer(pin_->KsPin(), KSSTREAM_POINTER_STATE_UNLOCKED);
        const void* expected = kept.noData ? nullptr : kept.memory.data();
        if (edge == nullptr || edge->StreamHeader == nullptr ||
            edge->StreamHeader->Data != expected) {
            return Fail("the buffer of ticket " + std::to_string(outstanding_.begin()->first) +
                        " is still out at STOP, but the leading edge is not on it");
        }
    }
    // A running engine with a whole image's worth of buffers queued fills one
    // at each tick; a tick is seen in every frame period plus a clock
    // interrupt interval (it runs at the first interrupt at or after its due
    // time), and the next expiring timer is the engine's.
    const bool stillRunning = runningBefore && pin_ != nullptr && pinState_ == KSSTATE_RUN;
    const bool tickPassed =
        HostKernel::Now() - before >= kFramePeriod + HostKernel::TickInterval() ||
        (action.kind == ActionKind::AdvanceToNextDue && nextDue >= 0);
    // A starved clone or queue entry is handed over again at the next tick
    // and filled at the one after.
    const bool settled = before >= lastStrike_ + 2 * kFramePeriod;
    if (stillRunning && settled && queuedBytes >= kImageSize && tickPassed &&
        deliveredThisStep_ == 0) {
        return Fail("the running pin delivered nothing although " + std::to_string(queuedBytes) +
                    " bytes of buffers were queued and " +
                    std::to_string(HostKernel::Now() - before) + " of time passed");
    }
    if (Verifier::ViolationCount() != 0) {
        return Fail("verifier: " + Verifier::Describe());
    }

    char line[300];
    std::snprintf(line, sizeof line,
                  "step %d: %s -> %d back (%d filled), %zu out, pin %s%s%s, time +%lld", step_,
                  doing_.c_str(), returnedThisStep_, deliveredThisStep_, outstanding_.size(),
                  pin_ != nullptr ? StateName(pinState_) : "closed",
                  struckThisStep_ ? ", starved resource struck" : "",
                  source_ != nullptr ? ", a push suspended" : "",
                  static_cast<long long>(HostKernel::Now() - HostKernel::kDefaultVirtualStart));
    // FNV-1a over every step's outcome: two runs of one seed must agree.
    for (const char* c = line; *c != '\0'; ++c) {
        digest_ = (digest_ ^ static_cast<unsigned char>(*c)) * 0x100000001B3ull;
    }
    history_.push_back(line);
    if (history_.size() > kHistory) {
        history_.pop_front();
    }
    if (trace_) {
        std::printf("%s\n", line);
        std::fflush(stdout);  // a crash in the next step loses nothing
    }
    return true;
}

bool InterleavingRun::Execute(const Action& action) {
    switch (action.kind) {
        case ActionKind::PushI420:
        case ActionKind::PushRgb24:
        case ActionKind::PushWrongLength:
            return DoPush(action);
        case ActionKind::Submit:
            return DoSubmit(action);
        case ActionKind::AdvanceBy:
            HostKernel::AdvanceBy(action.delta);
            return true;
        case ActionKind::AdvanceToNextDue: {
            const int64_t due = HostKernel::NextExpiry();
            if (due >= 0) {
                HostKernel::AdvanceTo(std::max(due, HostKernel::Now()));
            } else {
                HostKernel::AdvanceBy(kFramePeriod);
            }
            return true;
        }
        case ActionKind::SetState:
            return DoSetState(action.target);
        case ActionKind::ChangeFormat:
            return DoChangeFormat();
        case ActionKind::ClosePin:
            return DoClosePin();
        case ActionKind::CreatePin:
            return DoCreatePin();
        case ActionKind::CloseFilter:
            return DoCloseFilter();
        case ActionKind::OpenFilter:
            return DoOpenFilter();
        case ActionKind::RivalClaim:
            return DoRivalClaim();
        case ActionKind::RestartDevice:
            return DoRestartDevice();
        case ActionKind::Starve:
            DoStarve(action);
            return true;
        case ActionKind::SuspendedPush:
            return DoSuspendedPush(action);
    }
    return Fail("unknown action");
}

// ------------------------------------------------------------------ actions

bool InterleavingRun::DoPush(const Action& action) {
    // What the engine makes of the push is told by its length alone: below a
    // whole I420 frame nothing, below a whole RGB24 frame I420 (from the
    // first bytes), else RGB24. The frame is built to suit that reading.
    const ULONG length = action.length;
    bool taken = false;
    Yuy2Colour colour = kBlack;
    int slack = 0;
    if (length >= kRgbSize) {
        MakeUniformBgr(&pushFrame_, action.a, action.b, action.c, length);
        colour = Bt601FromBgr(action.a, action.b, action.c);
        slack = 1;
        taken = true;
    } else {
        MakeUniformI420(&pushFrame_, action.a, action.b, action.c, length);
        colour = Yuy2Colour{action.a, action.b, action.c};
        taken = length >= kI420Size;
    }
    const int64_t start = HostKernel::Now();
    const NTSTATUS status = filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME,
                                                 length != 0 ? pushFrame_.data() : nullptr, length);
    if (status != STATUS_SUCCESS) {
        return Fail("the push answered " + Hex(status));
    }
    if (taken && engine_ == Engine::Running) {
        // A push waits only for the write gate, which only a suspended push
        // holds; after its time-out it is dropped. One that did not wait
        // published its image, though the suspended push may still publish
        // its own over it when it resumes.
        if (source_ == nullptr || HostKernel::Now() == start) {
            image_ = colour;
            imageSlack_ = slack;
            alsoImages_.clear();
            if (source_ != nullptr) {
                alsoImages_.emplace_back(source_->colour, source_->slack);
            }
        }
    }
    return true;
}

bool InterleavingRun::DoSuspendedPush(const Action& action) {
    auto source = std::make_unique<SuspendedSource>();
    NTSTATUS status = device_->OpenFilter(kCameraCategory, &source->filter);
    if (status != STATUS_SUCCESS) {
        return Answered(status, STATUS_SUCCESS, "the frame source's filter open");
    }
    if (action.length == kI420Size) {
        MakeUniformI420(&source->frame, action.a, action.b, action.c, kI420Size);
        source->colour = Yuy2Colour{action.a, action.b, action.c};
    } else {
        MakeUniformBgr(&source->frame, action.a, action.b, action.c, kRgbSize);
        source->colour = Bt601FromBgr(action.a, action.b, action.c);
        source->slack = 1;
    }
    SuspendedSource* pusher = source.get();
    const int point = action.point;
    pusher->thread = std::thread([pusher, point] {
        host::Suspension::Arm(point, -1);
        pusher->armed.store(true);
        pusher->status = pusher->filter->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME,
                                                     pusher->frame.data(),
                                                     static_cast<ULONG>(pusher->frame.size()));
        pusher->done.store(true);
        host::Suspension::Disarm();
    });
    // Until the thread is suspended or done, this one waits: one thread runs
    // at a time, so the run stays a function of the seed.
    while (!pusher->armed.load()) {
        std::this_thread::yield();
    }
    const bool suspended = host::Suspension::WaitUntilSuspended(1) && !pusher->done.load();
    if (suspended) {
        ++suspendedPushes_;
        source->resumeAt = action.holdSteps == 0 ? INT_MAX : step_ + action.holdSteps;
        alsoImages_.emplace_back(source->colour, source->slack);
        source_ = std::move(source);
        return true;
    }
    // The push has fewer suspension points: it ran through like any other.
    pusher->thread.join();
    status = pusher->filter->Close();
    if (status != STATUS_SUCCESS) {
        return Fail("the frame source's filter close answered " + Hex(status));
    }
    if (!Answered(pusher->status, STATUS_SUCCESS, "the frame source's push")) {
        return false;
    }
    if (engine_ == Engine::Running) {
        image_ = pusher->colour;
        imageSlack_ = pusher->slack;
        alsoImages_.clear();
    }
    return true;
}

bool InterleavingRun::ResumeSource() {
    std::unique_ptr<SuspendedSource> source = std::move(source_);
    host::Suspension::ResumeAll();
    source->thread.join();
    // Its image, if it published one now, stays among those a tick may use.
    const NTSTATUS status = source->filter->Close();
    if (status != STATUS_SUCCESS) {
        return Fail("the frame source's filter close answered " + Hex(status));
    }
    return Answered(source->status, STATUS_SUCCESS, "the suspended push");
}

std::string InterleavingRun::CheckImage(const uint8_t* data, ULONG size) const {
    std::string wrong = CheckFilledBuffer(data, size, image_, imageSlack_);
    if (wrong.empty()) {
        return wrong;
    }
    for (const auto& other : alsoImages_) {
        if (CheckFilledBuffer(data, size, other.first, other.second).empty()) {
            return std::string();
        }
    }
    return alsoImages_.empty() ? wrong : wrong + " (nor is it one a suspended push left open)";
}

bool InterleavingRun::DoSubmit(const Action& action) {
    Outstanding out;
    out.size = action.length;
    out.headerSize = action.headerSize;
    out.noData = action.noData;
    if (!out.noData) {
        if (!spareMemory_.empty()) {
            out.memory = std::move(spareMemory_.back());
            spareMemory_.pop_back();
        }
        out.memory.resize(std::max<size_t>(out.size, 1));
        FillUnwritten(out.memory.data(), out.memory.size());
    }
    uint64_t ticket = 0;
    const NTSTATUS status = pin_->SubmitWithHeaderSize(out.noData ? nullptr : out.memory.data(),
                                                       out.size, out.headerSize, &ticket);
    const NTSTATUS expected =
        pinState_ == KSSTATE_STOP ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
    if (status != expected) {
        return Fail("the submission answered " + Hex(status) + ", expected " + Hex(expected));
    }
    if (status != STATUS_SUCCESS) {
        return true;
    }
    if (outstanding_.count(ticket) != 0) {
        return Fail("ticket " + std::to_string(ticket) + " was handed out twice");
    }
    // The vector's heap block moves with it: the driver's address stays good.
    outstanding_.emplace(ticket, std::move(out));
    if (action.length == kImageSize && !action.noData && action.headerSize == 128) {
        lastWholeTicket_ = ticket;
    }
    return true;
}

bool InterleavingRun::DoSetState(KSSTATE target) {
    const KSSTATE from = pinState_;
    const int64_t start = HostKernel::Now();
    const NTSTATUS status = pin_->SetState(target);
    KSSTATE reached = target;
    if (status != STATUS_SUCCESS) {
        if (!Answered(status, STATUS_SUCCESS, "the walk")) {
            return false;
        }
        // Only two steps allocate: STOP -> ACQUIRE (the layout) and
        // PAUSE -> RUN (the engine's buffers); the walk ends before them.
        reached = pin_->State();
        const bool claimRefused = reached == KSSTATE_STOP && from == KSSTATE_STOP;
        const bool startRefused = reached == KSSTATE_PAUSE && target == KSSTATE_RUN;
        if (!claimRefused && !startRefused) {
            return Fail(std::string("the starved walk from ") + StateName(from) + " to " +
                        StateName(target) + " stopped in " + StateName(reached));
        }
    }
    // What came back during the walk was delivered before any of its steps
    // took effect (only the pause handshake's tick delivers).
    if (!Drain(pin_.get())) {
        return false;
    }
    pinState_ = reached;
    ApplyWalk(from, reached, start);
    return true;
}

void InterleavingRun::ApplyWalk(KSSTATE from, KSSTATE to, int64_t walkStart) {
    KSSTATE state = from;
    while (state != to) {
        const KSSTATE next = static_cast<KSSTATE>(state < to ? state + 1 : state - 1);
        switch (next) {
            case KSSTATE_STOP:
                engine_ = Engine::Stopped;
                break;
            case KSSTATE_ACQUIRE:
                if (state == KSSTATE_PAUSE) {
                    engine_ = Engine::Stopped;
                }
                pictureNumber_ = 0;
                break;
            case KSSTATE_PAUSE:
                if (state == KSSTATE_RUN) {
                    engine_ = Engine::Paused;
                }
                pictureNumber_ = 0;
                break;
            case KSSTATE_RUN:
                if (engine_ != Engine::Paused) {
                    // A start: a new schedule from now, and a black image
                    // (a suspended push may still publish into it).
                    image_ = kBlack;
                    imageSlack_ = 0;
                    alsoImages_.clear();
                    if (source_ != nullptr) {
                        alsoImages_.emplace_back(source_->colour, source_->slack);
                    }
                    scheduleOrigin_ = walkStart;
                    // Stream time starts again from 0 after a stop.
                    lastPresentation_ = 0;
                }
                engine_ = Engine::Running;
                // The clock the pin stamps this run with (it may have been
                // assigned on the way through PAUSE).
                timed_ = pin_->HasMasterClock();
                break;
        }
        state = next;
    }
}

bool InterleavingRun::DoChangeFormat() {
    // Accepted only while the pin is stopped.
    const NTSTATUS status = pin_->SetFormat(format_.data(), static_cast<ULONG>(format_.size()));
    const NTSTATUS expected =
        pinState_ == KSSTATE_STOP ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    return Answered(status, expected, "the format change");
}

bool InterleavingRun::DoClosePin() {
    const NTSTATUS status = pin_->Close();
    if (status != STATUS_SUCCESS) {
        return Fail("the close answered " + Hex(status));
    }
    if (!Drain(pin_.get())) {
        return false;
    }
    ApplyWalk(pinState_, KSSTATE_STOP, HostKernel::Now());
    pinState_ = KSSTATE_STOP;
    pin_.reset();
    return true;
}

bool InterleavingRun::DoCreatePin() {
    const NTSTATUS status =
        filter_->CreatePin(0, format_.data(), static_cast<ULONG>(format_.size()), &pin_);
    if (status != STATUS_SUCCESS) {
        // Refused for want of memory: the application tries again later.
        if (!Answered(status, STATUS_SUCCESS, "the pin's creation")) {
            return false;
        }
        return pin_ == nullptr ? true : Fail("the refused pin was handed out");
    }
    if (pin_->StreamHeaderSize() != 128 || pin_->State() != KSSTATE_STOP) {
        return Fail("the new pin is not stopped with 128-byte stream headers");
    }
    pinState_ = KSSTATE_STOP;
    engine_ = Engine::Stopped;
    pictureNumber_ = 0;
    return true;
}

bool InterleavingRun::DoOpenFilter() {
    NTSTATUS status = device_->OpenFilter(kCameraCategory, &filter_);
    if (status != STATUS_SUCCESS) {
        if (!Answered(status, STATUS_SUCCESS, "the filter's open")) {
            return false;
        }
        return filter_ == nullptr ? true : Fail("the refused filter was handed out");
    }
    ULONG signature = 0;
    ULONG returned = 0;
    status = filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, &signature,
                                  sizeof signature, &returned);
    if (status != STATUS_SUCCESS || signature != VCAM_SIGNATURE) {
        return Fail("the signature read " + Hex(status));
    }
    std::vector<std::vector<uint8_t>> ranges;
    status = filter_->GetDataRanges(0, &ranges);
    if (status != STATUS_SUCCESS || ranges.size() != 1) {
        return Fail("the data ranges answered " + Hex(status));
    }
    status =
        filter_->Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()), &format_);
    if (status != STATUS_SUCCESS || format_.size() != sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return Fail("the intersection answered " + Hex(status));
    }
    return true;
}

bool InterleavingRun::DoCloseFilter() {
    const NTSTATUS status = filter_->Close();
    if (status != STATUS_SUCCESS) {
        return Fail("the filter's close answered " + Hex(status));
    }
    if (pin_ != nullptr) {
        // The filter closed its pin: everything comes back on the pin's handle.
        if (!Drain(pin_.get())) {
            return false;
        }
        if (pin_->Close() != STATUS_INVALID_HANDLE) {
            return Fail("the pin outlived its filter");
        }
        ApplyWalk(pinState_, KSSTATE_STOP, HostKernel::Now());
        pinState_ = KSSTATE_STOP;
        pin_.reset();
    }
    filter_.reset();
    return true;
}

bool InterleavingRun::DoRivalClaim() {
    // A refusal for want of memory ends the attempt early.
    std::unique_ptr<host::FilterHandle> other;
    NTSTATUS status = device_->OpenFilter(kCaptureCategory, &other);
    if (status != STATUS_SUCCESS) {
        return Answered(status, STATUS_SUCCESS, "the second filter's open");
    }
    std::unique_ptr<host::PinHandle> rival;
    status = other->CreatePin(0, format_.data(), static_cast<ULONG>(format_.size()), &rival);
    if (status != STATUS_SUCCESS) {
        if (!Answered(status, STATUS_SUCCESS, "the second pin's creation")) {
            return false;
        }
        return other->Close() == STATUS_SUCCESS ? true : Fail("the second filter did not close");
    }
    // The engine is claimed from ACQUIRE up, by one pin only.
    const bool claimed = pin_ != nullptr && pinState_ != KSSTATE_STOP;
    status = rival->SetState(KSSTATE_ACQUIRE);
    if (!Answered(status, claimed ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS,
                  "the second pin's claim")) {
        return false;
    }
    if (rival->State() != (status == STATUS_SUCCESS ? KSSTATE_ACQUIRE : KSSTATE_STOP)) {
        return Fail("the second pin is in the wrong state after its claim");
    }
    if (rival->SetState(KSSTATE_STOP) != STATUS_SUCCESS || rival->Close() != STATUS_SUCCESS ||
        other->Close() != STATUS_SUCCESS) {
        return Fail("the second pin or filter did not go away");
    }
    if (rival->CompletedCount() != 0) {
        return Fail("the second pin gave back buffers it was never sent");
    }
    return true;
}

bool InterleavingRun::DoRestartDevice() {
    NTSTATUS status = device_->Stop();
    if (status != STATUS_SUCCESS) {
        return Fail("the device's stop answered " + Hex(status));
    }
    std::unique_ptr<host::FilterHandle> refused;
    status = device_->OpenFilter(kCameraCategory, &refused);
    if (status != STATUS_DEVICE_NOT_READY) {
        return Fail("a filter open on the stopped device answered " + Hex(status));
    }
    status = device_->Start();
    if (status != STATUS_SUCCESS) {
        // Refused for want of memory: Plug and Play starts it again.
        if (!Answered(status, STATUS_SUCCESS, "the device's start")) {
            return false;
        }
        status = device_->Start();
        if (status != STATUS_SUCCESS) {
            return Fail("the device's second start answered " + Hex(status));
        }
    }
    return true;
}

// --------------------------------------------------------------- starvation

void InterleavingRun::DoStarve(const Action& action) {
    switch (action.a) {
        case kStarvePool:
            starving_ = Starving::Pool;
            injectedSeen_ = Verifier::InjectedFailures();
            Verifier::FailNth(Verifier::AllocationCount() + 1);
            break;
        case kStarveBag:
            starving_ = Starving::Bag;
            starvedAt_ = host::KsFaults::BagInsertions() + 1;
            host::KsFaults::FailBagInsertion(starvedAt_);
            break;
        default:
            starving_ = Starving::Clone;
            starvedAt_ = host::KsFaults::Clones() + 1;
            host::KsFaults::FailClone(starvedAt_);
            break;
    }
}

bool InterleavingRun::Struck() {
    bool struck = false;
    switch (starving_) {
        case Starving::Pool:
            struck = Verifier::InjectedFailures() > injectedSeen_;
            break;
        case Starving::Bag:
            struck = host::KsFaults::BagInsertions() >= starvedAt_;
            break;
        case Starving::Clone:
            struck = host::KsFaults::Clones() >= starvedAt_;
            break;
        case Starving::None:
            break;
    }
    if (struck) {
        Disarm();
        struckThisStep_ = true;
        ++strikes_;
    }
    return struck;
}

void InterleavingRun::Disarm() {
    switch (starving_) {
        case Starving::Pool:
            Verifier::ClearFaults();
            injectedSeen_ = Verifier::InjectedFailures();
            break;
        case Starving::Bag:
            host::KsFaults::FailBagInsertion(0);
            break;
        case Starving::Clone:
            host::KsFaults::FailClone(0);
            break;
        case Starving::None:
            break;
    }
    starving_ = Starving::None;
}

bool InterleavingRun::Answered(NTSTATUS status, NTSTATUS expected, const char* what) {
    // Whether or not the call answered it, a strike inside it is this step's.
    const bool struck = Struck();
    if (status == expected) {
        return true;
    }
    if (status == STATUS_INSUFFICIENT_RESOURCES && struck) {
        return true;
    }
    return Fail(std::string(what) + " answered " + Hex(status) + ", expected " + Hex(expected) +
                (struck ? " or STATUS_INSUFFICIENT_RESOURCES" : ""));
}

// ------------------------------------------------------- buffers coming back

bool InterleavingRun::Drain(host::PinHandle* pin) {
    host::CompletedFrame frame;
    while (pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
        if (!CheckReturned(frame)) {
            return false;
        }
    }
    return true;
}

bool InterleavingRun::CheckReturned(const host::CompletedFrame& frame) {
    const std::string ticket = "ticket " + std::to_string(frame.ticket);
    auto found = outstanding_.find(frame.ticket);
    if (found == outstanding_.end()) {
        return Fail(ticket + " came back twice, or was never submitted");
    }
    Outstanding out = std::move(found->second);
    outstanding_.erase(found);
    ++returnedThisStep_;
    // Whatever is decided below, the memory goes back to the spares after.
    struct Recycle {
        std::vector<std::vector<uint8_t>>* spares;
        std::vector<uint8_t>* memory;
        ~Recycle() {
            if (memory->capacity() != 0 && spares->size() < kMaxSpares) {
                spares->push_back(std::move(*memory));
            }
        }
    } recycle{&spareMemory_, &out.memory};
    if (frame.bufferSize != out.size ||
        frame.data != (out.noData ? nullptr : static_cast<const void*>(out.memory.data()))) {
        return Fail(ticket + " came back with another buffer than it was sent with");
    }

    // Filled: the driver stamped it (a frame it returns unfilled carries no
    // valid duration). DataUsed may be 0 for a buffer no image row fits in.
    const bool filled = frame.status == STATUS_SUCCESS &&
                        (frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID) != 0 &&
                        frame.header.OptionsFlags != 0xA5A5A5A5u;
    if (!filled) {
        if (frame.status != STATUS_SUCCESS && frame.status != STATUS_CANCELLED) {
            return Fail(ticket + " came back with status " + Hex(frame.status));
        }
        if (!out.noData) {
            const std::string written = CheckUnwritten(out.memory.data(), 0, out.size);
            if (!written.empty()) {
                return Fail(ticket + " came back unfilled, but " + written);
            }
        }
        return true;
    }

    ++deliveredThisStep_;
    ++delivered_;
    if (out.noData || out.size == 0) {
        return Fail(ticket + " has no room, yet came back filled");
    }
    if (engine_ != Engine::Running) {
        return Fail(ticket + " came back filled although the engine was not running");
    }
    // DataUsed is the driver's: the bytes of image it delivered, never more
    // than the buffer, and the whole image when the buffer holds one.
    if (frame.header.DataUsed > out.size ||
        (out.size >= kImageSize && out.headerSize < 128 && frame.header.DataUsed != kImageSize)) {
        return Fail(ticket + " came back with DataUsed " + std::to_string(frame.header.DataUsed) +
                    " of " + std::to_string(out.size));
    }
    // Presentation time is the master clock's stream time (0 at STOP,
    // never going back within a run); without a clock only the duration is
    // valid.
    const bool timed = timed_;
    const ULONG flags =
        timed ? kTimeAndDurationValid : static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
    if (frame.header.Duration != kFramePeriod || frame.header.OptionsFlags != flags ||
        frame.header.PresentationTime.Numerator != 1 ||
        frame.header.PresentationTime.Denominator != 1) {
        return Fail(ticket + " is not stamped with the frame period and a valid time");
    }
    const int64_t time = frame.header.PresentationTime.Time;
    if (timed && time < lastPresentation_) {
        return Fail(ticket + ": presentation time " + std::to_string(time) + " went back from " +
                    std::to_string(lastPresentation_));
    }
    if (!timed && time != 0) {
        return Fail(ticket + ": presentation time " + std::to_string(time) + " without a clock");
    }
    lastPresentation_ = time;
    ++pictureNumber_;
    if (out.headerSize >= 128) {
        if (!frame.hasFrameInfo || frame.frameInfo.ExtendedHeaderSize != sizeof(KS_FRAME_INFO) ||
            frame.frameInfo.DropCount != 0) {
            return Fail(ticket + " came back without its frame information");
        }
        if (frame.frameInfo.PictureNumber != pictureNumber_) {
            return Fail(ticket + " has PictureNumber " +
                        std::to_string(frame.frameInfo.PictureNumber) + ", expected " +
                        std::to_string(pictureNumber_));
        }
    }
    const std::string content = CheckImage(out.memory.data(), out.size);
    if (!content.empty()) {
        return Fail(ticket + " (" + std::to_string(out.size) + " bytes): " + content);
    }
    if (frame.ticket == lastWholeTicket_) {
        lastWholeDelivered_ = true;
    }
    return true;
}

// ---------------------------------------------------------- set-up, wrap-up

bool InterleavingRun::SetUp() {
    doing_ = "set-up";
    NTSTATUS status = host::Driver::LoadChosen(DriverEntry, &driver_);
    if (status != STATUS_SUCCESS) {
        return Fail("the driver's load answered " + Hex(status));
    }
    status = driver_->AddDevice(&device_);
    if (status != STATUS_SUCCESS) {
        return Fail("the device's add answered " + Hex(status));
    }
    status = device_->Start();
    if (status != STATUS_SUCCESS) {
        return Fail("the device's start answered " + Hex(status));
    }
    return DoOpenFilter() && DoCreatePin();
}

bool InterleavingRun::WrapUp() {
    // The camera still streams what is pushed, whatever came before.
    Disarm();
    if (source_ != nullptr) {
        doing_ = "wrap-up: the suspended push resumes";
        if (!ResumeSource()) {
            return false;
        }
    }
    Action action;
    if (filter_ == nullptr) {
        action.kind = ActionKind::OpenFilter;
        if (!Perform(action)) {
            return false;
        }
    }
    if (pin_ == nullptr) {
        action.kind = ActionKind::CreatePin;
        if (!Perform(action)) {
            return false;
        }
    }
    if (pinState_ != KSSTATE_RUN) {
        action.kind = ActionKind::SetState;
        action.target = KSSTATE_RUN;
        if (!Perform(action)) {
            return false;
        }
    }
    action.kind = ActionKind::PushI420;
    action.a = 17;
    action.b = 99;
    action.c = 211;
    action.length = kI420Size;
    if (!Perform(action)) {
        return false;
    }
    action = Action();
    action.kind = ActionKind::Submit;
    action.length = kImageSize;
    action.headerSize = 128;
    lastWholeDelivered_ = false;
    if (!Perform(action)) {
        return false;
    }
    const uint64_t last = lastWholeTicket_;
    action = Action();
    action.kind = ActionKind::AdvanceToNextDue;
    for (int tick = 0; tick < kWrapUpTicks && outstanding_.count(last) != 0; ++tick) {
        if (!Perform(action)) {
            return false;
        }
    }
    if (!lastWholeDelivered_) {
        return Fail("the last buffer (ticket " + std::to_string(last) +
                    ") did not come back filled within " + std::to_string(kWrapUpTicks) + " ticks");
    }
    action.kind = ActionKind::CloseFilter;  // closes the pin with it
    if (!Perform(action)) {
        return false;
    }

    ++step_;
    doing_ = "remove the device";
    const NTSTATUS status = device_->Remove();
    if (status != STATUS_SUCCESS) {
        return Fail("the removal answered " + Hex(status));
    }
    device_.reset();
    driver_.reset();
    std::vector<host::PoolBlockInfo> left = Verifier::OutstandingSince(poolMark_);
    if (!left.empty()) {
        return Fail("pool blocks left after the removal:\n" + Verifier::DescribeBlocks(left));
    }
    Verifier::CheckUnload();
    if (Verifier::ViolationCount() != 0) {
        return Fail("verifier at unload: " + Verifier::Describe());
    }
    return true;
}

}  // namespace reliability
