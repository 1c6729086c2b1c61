#include "reliability/LifecycleScenario.h"

#include <host/executive/HostKernel.h>
#include <host/verifier/Verifier.h>

#include "driver/injection/FrameInjection.h"
#include "host/ks/KsFaults.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <vector>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace reliability {

namespace {

using host::KsFaults;
using host::PoolTag;
using host::Verifier;
using namespace camtest;
using namespace std::chrono_literals;

const GUID kCameraCategory = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// Empty when `holds`; else `text`.
std::string Require(bool holds, const char* text) {
    return holds ? std::string() : text;
}

size_t Blocks(const char (&tag)[5]) {
    return Verifier::OutstandingBlocks(PoolTag(tag));
}

// The addresses of the blocks with `tag` outstanding, in address order.
std::vector<const void*> BlockAddresses(const char (&tag)[5]) {
    std::vector<const void*> addresses;
    for (const host::PoolBlockInfo& block : Verifier::OutstandingList()) {
        if (block.tag == PoolTag(tag)) {
            addresses.push_back(block.address);
        }
    }
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

// How many of `after` are not in `before` (both in address order).
size_t NewBlocks(const std::vector<const void*>& before, const std::vector<const void*>& after) {
    std::vector<const void*> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    return added.size();
}

}  // namespace

const char* StarveName(Starve what) {
    switch (what) {
        case Starve::Nothing:
            return "nothing";
        case Starve::PoolAllocation:
            return "pool/lookaside allocation";
        case Starve::BagInsertion:
            return "bag insertion";
        case Starve::Clone:
            return "stream pointer clone";
        case Starve::FilterFactory:
            return "filter factory creation";
    }
    return "?";
}

LifecycleScenario::LifecycleScenario(Starve what, uint64_t nth) : what_(what), nth_(nth) {}

LifecycleScenario::~LifecycleScenario() {
    TearDown();
}

ScenarioResult LifecycleScenario::Run() {
    host::HostKernel::Boot(host::ClockMode::Virtual);
    Verifier::Reset();
    KsFaults::Clear();
    const uint64_t mark = Verifier::AllocationMark();
    switch (what_) {
        case Starve::PoolAllocation:
            Verifier::FailNth(nth_);
            break;
        case Starve::BagInsertion:
            KsFaults::FailBagInsertion(nth_);
            break;
        case Starve::Clone:
            KsFaults::FailClone(nth_);
            break;
        case Starve::Nothing:
        case Starve::FilterFactory:  // armed around the add it concerns
            break;
    }

    const bool completed = Lifecycle();

    result_.poolAllocations = Verifier::AllocationCount();
    result_.bagInsertions = KsFaults::BagInsertions();
    result_.clones = KsFaults::Clones();
    result_.factoryCreations = factoryCreations_;
    switch (what_) {
        case Starve::PoolAllocation:
            result_.injected = Verifier::InjectedFailures();
            break;
        case Starve::BagInsertion:
            result_.injected = result_.bagInsertions >= nth_ ? 1 : 0;
            break;
        case Starve::Clone:
            result_.injected = result_.clones >= nth_ ? 1 : 0;
            break;
        case Starve::FilterFactory:
            result_.injected = factoryCreations_ >= nth_ ? 1 : 0;
            break;
        case Starve::Nothing:
            break;
    }
    Verifier::ClearFaults();
    KsFaults::Clear();
    TearDown();

    if (completed) {
        std::vector<host::PoolBlockInfo> left = Verifier::OutstandingSince(mark);
        if (!left.empty()) {
            Fail("pool blocks left after the device was removed:\n" +
                 Verifier::DescribeBlocks(left));
        }
        Verifier::CheckUnload();
        if (Verifier::ViolationCount() != 0) {
            Fail("verifier after unload: " + Verifier::Describe());
        }
    }
    return result_;
}

void LifecycleScenario::TearDown() {
    pin_.reset();
    filter_.reset();
    if (device_ != nullptr) {
        device_->Remove();
        device_.reset();
    }
    driver_.reset();
}

bool LifecycleScenario::Fail(const std::string& text) {
    if (result_.failure.empty()) {
        result_.failure = text;
    }
    return false;
}

bool LifecycleScenario::Step(const std::string& name, OnFailure onFailure,
                             const std::function<NTSTATUS()>& action,
                             const std::function<std::string()>& check,
                             const std::function<std::string()>& checkRefused) {
    for (int attempt = 1;; ++attempt) {
        StepUse use;
        use.name = name;
        use.refusalIsStatus = onFailure == OnFailure::MaySayInsufficient;
        use.poolBegin = Verifier::AllocationCount();
        use.bagBegin = KsFaults::BagInsertions();
        use.cloneBegin = KsFaults::Clones();
        use.factoryBegin = factoryCreations_;

        const NTSTATUS status = action();
        std::string problem;
        if (NT_SUCCESS(status)) {
            problem = check ? check() : std::string();
        }

        use.poolEnd = Verifier::AllocationCount();
        use.bagEnd = KsFaults::BagInsertions();
        use.cloneEnd = KsFaults::Clones();
        use.factoryEnd = factoryCreations_;
        if (attempt == 1) {
            result_.steps.push_back(use);
        }
        if (Verifier::ViolationCount() != 0) {
            return Fail(name + ": verifier: " + Verifier::Describe());
        }
        if (NT_SUCCESS(status)) {
            return problem.empty() ? true : Fail(name + ": " + problem);
        }

        if (onFailure == OnFailure::MustSucceed) {
            return Fail(name + " answered " + Hex(status) + "; it documents no failure");
        }
        if (status != STATUS_INSUFFICIENT_RESOURCES) {
            return Fail(name + " answered " + Hex(status) +
                        " where only STATUS_INSUFFICIENT_RESOURCES is documented");
        }
        if (attempt > 1) {
            return Fail(name + " was refused again when retried (" + Hex(status) + ")");
        }
        problem = checkRefused ? checkRefused() : std::string();
        if (!problem.empty()) {
            return Fail(name + " refused (" + Hex(status) + ") but " + problem);
        }
        result_.refusals.push_back(name + ": " + Hex(status));
    }
}

bool LifecycleScenario::StartDevice(const char* name) {
    // The engine and the filter factory were made at Add and live until
    // Remove: a start makes neither, it only enables the interfaces.
    const size_t engines = Blocks("HSim");
    return Step(
        name, OnFailure::MaySayInsufficient, [&] { return device_->Start(); },
        [&] {
            if (Blocks("HSim") != engines) {
                return std::string("the start made or freed an engine");
            }
            return Require(device_->Started() && device_->Interfaces().size() == 3,
                           "the start succeeded but the filter is not reachable through its "
                           "three interfaces");
        },
        [&] {
            std::unique_ptr<host::FilterHandle> refused;
            return Require(
                !device_->Started() && device_->Interfaces().empty() &&
                    device_->OpenFilter(kCameraCategory, &refused) == STATUS_DEVICE_NOT_READY,
                "the device looks started");
        });
}

bool LifecycleScenario::OpenAndNegotiate(const char* suffix) {
    const std::string again = suffix;
    const size_t filters = Blocks("CFil");
    if (!Step(
            "open filter" + again, OnFailure::MaySayInsufficient,
            [&] { return device_->OpenFilter(kCameraCategory, &filter_); },
            [&] {
                return Require(filter_ != nullptr && Blocks("CFil") == filters + 1,
                               "the filter opened without its VcamFilter");
            },
            [&] {
                return Require(filter_ == nullptr && Blocks("CFil") == filters,
                               "a VcamFilter was left behind");
            })) {
        return false;
    }

    if (!Step(
            "signature" + again, OnFailure::MustSucceed,
            [&] {
                ULONG signature = 0;
                ULONG returned = 0;
                NTSTATUS status = filter_->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME,
                                                       &signature, sizeof signature, &returned);
                if (NT_SUCCESS(status) && (signature != VCAM_SIGNATURE || returned != 4)) {
                    return static_cast<NTSTATUS>(STATUS_UNSUCCESSFUL);
                }
                return status;
            },
            nullptr, nullptr)) {
        return false;
    }

    if (!Step(
            "intersect" + again, OnFailure::MustSucceed,
            [&] {
                std::vector<std::vector<uint8_t>> ranges;
                NTSTATUS status = filter_->GetDataRanges(0, &ranges);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
                if (ranges.size() != 1) {
                    return static_cast<NTSTATUS>(STATUS_UNSUCCESSFUL);
                }
                return filter_->Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()),
                                          &format_);
            },
            [&] {
                return Require(format_.size() == sizeof(KS_DATAFORMAT_VIDEOINFOHEADER),
                               "the intersection is not a whole video info format");
            },
            nullptr)) {
        return false;
    }

    const size_t pins = Blocks("CPin");
    const size_t buffers = Blocks("AVSh");
    return Step(
        "create pin" + again, OnFailure::MaySayInsufficient,
        [&] {
            // A new pin gets a new master clock: its stream time starts at 0.
            lastPresentation_ = 0;
            return filter_->CreatePin(0, format_.data(), static_cast<ULONG>(format_.size()), &pin_);
        },
        [&] {
            if (pin_ == nullptr || Blocks("CPin") != pins + 1) {
                return std::string("the pin was created without its VcamPin");
            }
            KSALLOCATOR_FRAMING_EX framing;
            if (pin_->GetAllocatorFraming(&framing) != STATUS_SUCCESS) {
                return std::string("the pin has no allocator framing");
            }
            const KS_FRAMING_ITEM& item = framing.FramingItem[0];
            return Require(pin_->StreamHeaderSize() == 128 && item.Frames == 2 &&
                               item.PhysicalRange.MinFrameSize == kImageSize &&
                               item.FramingRange.Range.MaxFrameSize == kImageSize,
                           "the pin's framing or stream header size is not its own");
        },
        [&] {
            return Require(pin_ == nullptr && Blocks("CPin") == pins && Blocks("AVSh") == buffers,
                           "the refused pin left blocks behind");
        });
}

bool LifecycleScenario::Push(const std::string& name, const std::vector<uint8_t>& frame) {
    return Step(
        name, OnFailure::MustSucceed,
        [&] {
            return filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame.data(),
                                        static_cast<ULONG>(frame.size()));
        },
        nullptr, nullptr);
}

bool LifecycleScenario::Capture(const std::string& name, Yuy2Colour expected, int slack,
                                LONGLONG pictureNumber) {
    std::vector<uint8_t> buffer(kImageSize);
    FillUnwritten(buffer.data(), buffer.size());
    uint64_t ticket = 0;
    return Step(
        name, OnFailure::MustSucceed,
        [&] { return pin_->Submit(buffer.data(), kImageSize, &ticket); },
        [&] { return Collect(buffer, ticket, expected, slack, pictureNumber); }, nullptr);
}

std::string LifecycleScenario::Collect(const std::vector<uint8_t>& buffer, uint64_t ticket,
                                       Yuy2Colour expected, int slack, LONGLONG pictureNumber) {
    // Starved queue entries and clones are retried on later ticks; a second
    // is thirty periods.
    if (pin_->WaitForCompletion(1000ms) != STATUS_SUCCESS) {
        return "the capture buffer did not come back within a second";
    }
    host::CompletedFrame frame;
    if (pin_->TakeCompleted(&frame) != STATUS_SUCCESS || frame.ticket != ticket) {
        return "another buffer came back than the one submitted";
    }
    if (frame.status != STATUS_SUCCESS || frame.header.DataUsed != kImageSize) {
        return "the buffer came back unfilled (status " + Hex(frame.status) + ", DataUsed " +
               std::to_string(frame.header.DataUsed) + ")";
    }
    if (frame.header.Duration != kFramePeriod ||
        frame.header.OptionsFlags != kTimeAndDurationValid) {
        return "the buffer's duration or options are not stamped";
    }
    const int64_t time = frame.header.PresentationTime.Time;
    if (time <= lastPresentation_ || time > host::HostKernel::Now()) {
        return "presentation time " + std::to_string(time) + " after " +
               std::to_string(lastPresentation_) + " (now " +
               std::to_string(host::HostKernel::Now()) + ")";
    }
    lastPresentation_ = time;
    if (!frame.hasFrameInfo || frame.frameInfo.PictureNumber != pictureNumber ||
        frame.frameInfo.DropCount != 0) {
        return "PictureNumber " + std::to_string(frame.frameInfo.PictureNumber) + ", expected " +
               std::to_string(pictureNumber);
    }
    std::string content = CheckFilledBuffer(buffer.data(), kImageSize, expected, slack);
    if (!content.empty()) {
        return content;
    }
    return Require(pin_->CompletedCount() == 0, "a buffer came back that was never sent");
}

bool LifecycleScenario::Lifecycle() {
    if (!Step(
            "load", OnFailure::MustSucceed,
            [&] { return host::Driver::LoadChosen(DriverEntry, &driver_); }, nullptr, nullptr)) {
        return false;
    }

    // Add makes the VcamDevice, its one engine and the filter factory.
    const size_t devices = Blocks("CDev");
    const size_t engines = Blocks("HSim");
    if (!Step(
            "add", OnFailure::MaySayInsufficient,
            [&] {
                ++factoryCreations_;
                const bool starve = what_ == Starve::FilterFactory && factoryCreations_ == nth_;
                KsFaults::FailFilterFactoryCreation(starve);
                const NTSTATUS status = driver_->AddDevice(&device_);
                KsFaults::FailFilterFactoryCreation(false);
                return status;
            },
            [&] {
                return Require(device_ != nullptr && Blocks("CDev") == devices + 1 &&
                                   Blocks("HSim") == engines + 1 &&
                                   device_->KsDevice()->Context != nullptr,
                               "the device was added without its VcamDevice and engine");
            },
            [&] {
                return Require(
                    device_ == nullptr && Blocks("CDev") == devices && Blocks("HSim") == engines,
                    "the VcamDevice or its engine was left behind");
            })) {
        return false;
    }

    if (!StartDevice("start") || !OpenAndNegotiate("")) {
        return false;
    }

    // A format change while stopped makes the pin a new copy of the format,
    // which takes the place of the previous copy; a refused one leaves the
    // previous copy where it was.
    const std::vector<const void*> copies = BlockAddresses("AVSh");
    if (!Step(
            "change format", OnFailure::MaySayInsufficient,
            [&] { return pin_->SetFormat(format_.data(), static_cast<ULONG>(format_.size())); },
            [&] {
                const std::vector<const void*> now = BlockAddresses("AVSh");
                return Require(now.size() == copies.size() && NewBlocks(copies, now) == 1,
                               "the format was accepted without a copy of its own, or the copy "
                               "it replaced was kept");
            },
            [&] {
                return Require(BlockAddresses("AVSh") == copies,
                               "a refused copy was left behind or the previous copy was lost");
            })) {
        return false;
    }

    // The walk to RUN, one state at a time, so each refusal is its own step's.
    const size_t layouts = Blocks("IsyY");
    if (!Step(
            "acquire", OnFailure::MaySayInsufficient,
            [&] { return pin_->SetState(KSSTATE_ACQUIRE); },
            [&] {
                return Require(pin_->State() == KSSTATE_ACQUIRE && Blocks("IsyY") == layouts + 1,
                               "the pin acquired without a pixel layout");
            },
            [&] {
                return Require(pin_->State() == KSSTATE_STOP && Blocks("IsyY") == layouts,
                               "the pin left STOP or kept a layout");
            }) ||
        !Step(
            "pause", OnFailure::MustSucceed, [&] { return pin_->SetState(KSSTATE_PAUSE); },
            [&] { return Require(pin_->State() == KSSTATE_PAUSE, "the pin is not in PAUSE"); },
            nullptr)) {
        return false;
    }
    const size_t pinBuffers = Blocks("AVSh");  // the pin's format and descriptor copies
    if (!Step(
            "run", OnFailure::MaySayInsufficient, [&] { return pin_->SetState(KSSTATE_RUN); },
            [&] {
                return Require(pin_->State() == KSSTATE_RUN && Blocks("AVSh") > pinBuffers,
                               "the pin runs without engine buffers");
            },
            [&] {
                return Require(pin_->State() == KSSTATE_PAUSE && Blocks("AVSh") == pinBuffers,
                               "the pin left PAUSE or engine buffers were left behind");
            })) {
        return false;
    }

    const Yuy2Colour pushedI420{200, 60, 190};
    const Yuy2Colour pushedRgb = Bt601FromBgr(40, 180, 90);
    if (!Capture("capture before any push", kBlack, 0, 1) ||
        !Push("push i420", UniformI420(pushedI420.y, pushedI420.u, pushedI420.v)) ||
        !Capture("capture i420", pushedI420, 0, 2) ||
        !Push("push rgb24", UniformBgr(40, 180, 90)) ||
        !Capture("capture rgb24", pushedRgb, 1, 3)) {
        return false;
    }

    // Pause and resume: the image stays, pushes in between are dropped, and
    // numbering starts again.
    if (!Step(
            "pause from run", OnFailure::MustSucceed, [&] { return pin_->SetState(KSSTATE_PAUSE); },
            [&] { return Require(pin_->State() == KSSTATE_PAUSE, "the pin is not in PAUSE"); },
            nullptr) ||
        !Push("push while paused", UniformI420(30, 128, 128))) {
        return false;
    }
    // A buffer queued while paused reaches the driver's Process only with
    // the resume, so the resume's own allocations (a clone, a queue entry)
    // are absorbed and retried, never a status.
    std::vector<uint8_t> pausedBuffer(kImageSize);
    FillUnwritten(pausedBuffer.data(), pausedBuffer.size());
    uint64_t pausedTicket = 0;
    if (!Step(
            "submit while paused", OnFailure::MustSucceed,
            [&] { return pin_->Submit(pausedBuffer.data(), kImageSize, &pausedTicket); },
            [&] { return Require(pin_->CompletedCount() == 0, "a buffer came back while paused"); },
            nullptr) ||
        !Step(
            "resume", OnFailure::MustSucceed, [&] { return pin_->SetState(KSSTATE_RUN); },
            [&] { return Require(pin_->State() == KSSTATE_RUN, "the pin is not in RUN"); },
            nullptr) ||
        !Step(
            "capture after resume", OnFailure::MustSucceed, [] { return STATUS_SUCCESS; },
            [&] { return Collect(pausedBuffer, pausedTicket, pushedRgb, 1, 1); }, nullptr)) {
        return false;
    }

    const size_t pinsOpen = Blocks("CPin");
    const size_t filtersOpen = Blocks("CFil");
    if (!Step(
            "stop", OnFailure::MustSucceed, [&] { return pin_->SetState(KSSTATE_STOP); },
            [&] {
                return Require(pin_->State() == KSSTATE_STOP && Blocks("IsyY") == layouts &&
                                   Blocks("AVSh") == pinBuffers,
                               "the stopped pin still holds the layout or engine buffers");
            },
            nullptr) ||
        !Step(
            "close pin", OnFailure::MustSucceed, [&] { return pin_->Close(); },
            [&] {
                pin_.reset();
                return Require(Blocks("CPin") == pinsOpen - 1, "the VcamPin outlived its pin");
            },
            nullptr) ||
        !Step(
            "close filter", OnFailure::MustSucceed, [&] { return filter_->Close(); },
            [&] {
                filter_.reset();
                return Require(Blocks("CFil") == filtersOpen - 1,
                               "the VcamFilter outlived its filter");
            },
            nullptr) ||
        !Step(
            "device stop", OnFailure::MustSucceed, [&] { return device_->Stop(); },
            [&] {
                std::unique_ptr<host::FilterHandle> refused;
                return Require(
                    device_->OpenFilter(kCameraCategory, &refused) == STATUS_DEVICE_NOT_READY,
                    "a filter opens on the stopped device");
            },
            nullptr)) {
        return false;
    }

    // The second life: the same engine, a new filter and pin, one whole walk.
    if (!StartDevice("start again") || !OpenAndNegotiate(" again")) {
        return false;
    }
    const size_t pinBuffersAgain = Blocks("AVSh");
    if (!Step(
            "run again", OnFailure::MaySayInsufficient, [&] { return pin_->SetState(KSSTATE_RUN); },
            [&] {
                return Require(pin_->State() == KSSTATE_RUN && Blocks("IsyY") == layouts + 1 &&
                                   Blocks("AVSh") > pinBuffersAgain,
                               "the pin runs without a layout or engine buffers");
            },
            [&] {
                // The walk ends at the refused step: ACQUIRE (no layout) or
                // RUN (the layout, but no engine buffers).
                if (pin_->State() == KSSTATE_STOP) {
                    return Require(Blocks("IsyY") == layouts, "a refused claim kept its layout");
                }
                return Require(pin_->State() == KSSTATE_PAUSE && Blocks("AVSh") == pinBuffersAgain,
                               "a refused run left engine buffers behind");
            })) {
        return false;
    }
    const Yuy2Colour pushedAgain{90, 200, 70};
    if (!Push("push again", UniformI420(pushedAgain.y, pushedAgain.u, pushedAgain.v)) ||
        !Capture("capture again", pushedAgain, 0, 1)) {
        return false;
    }
    const size_t pinsAgain = Blocks("CPin");
    if (!Step(
            "close pin while running", OnFailure::MustSucceed, [&] { return pin_->Close(); },
            [&] {
                const bool nothingBack = pin_->CompletedCount() == 0;
                pin_.reset();
                return Require(
                    nothingBack && Blocks("CPin") == pinsAgain - 1 && Blocks("IsyY") == layouts,
                    "the closed pin kept its VcamPin or the layout");
            },
            nullptr) ||
        !Step(
            "close filter again", OnFailure::MustSucceed, [&] { return filter_->Close(); },
            [&] {
                filter_.reset();
                return std::string();
            },
            nullptr)) {
        return false;
    }

    return Step(
        "remove", OnFailure::MustSucceed, [&] { return device_->Remove(); },
        [&] {
            device_.reset();
            return Require(Blocks("CDev") == devices && Blocks("HSim") == engines,
                           "the VcamDevice or an engine outlived the device");
        },
        nullptr);
}

}  // namespace reliability
