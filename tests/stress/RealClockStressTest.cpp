// The whole camera under load on the real clock: the engine's ticks on the
// DPC thread, Process on each pin's processing thread, and around them
// several frame sources pushing I420, RGB24 and wrongly sized frames, two
// capture clients submitting and reclaiming buffers, a thread flapping the
// streaming pin between STOP, ACQUIRE, PAUSE and RUN, and a contender on a
// second filter instance trying to claim the engine. When the contender wins
// (the streaming pin was at STOP), the two pins swap roles.
//
// What must hold, whatever the interleaving:
//  - every buffer the driver accepted comes back exactly once;
//  - every filled buffer holds one whole image (uniform: no torn frame) that
//    is black or the expected image of a frame that was pushed, and never
//    the image of a push too short to be a frame;
//  - a claim fails with STATUS_SHARING_VIOLATION while the other pin surely
//    holds the engine, and succeeds while it surely does not;
//  - every push succeeds; the verifier stays clean (its lock-order check
//    included); after removal no pool block is left.
//
// The run lasts VCAM_STRESS_SECONDS seconds (8 by default). Nothing here
// measures time: the duration only bounds the run.

#include <gtest/gtest.h>

#include "driver/injection/FrameInjection.h"
#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"
#include "support/KernelTestFixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

#if defined(VCAM_SANITIZER_BUILD)
// Under UndefinedBehaviorSanitizer a report fails the run instead of
// scrolling past in the log.
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}
#endif

namespace {

using host::Verifier;
using namespace std::chrono_literals;

const GUID kCamera = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);
const GUID kVideo = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);
const ULONG kWidth = 1280;
const ULONG kHeight = 720;
const ULONG kImageSize = kWidth * kHeight * 2;
const ULONG kI420Size = kWidth * kHeight * 3 / 2;
const ULONG kRgbSize = kWidth * kHeight * 3;

const int kProducers = 3;
const int kPins = 2;
const int kSlotsPerPin = 3;
const int kMaxReportedFailures = 20;

// One YUY2 group's values: Y, U, V (both luma bytes equal in a uniform image).
struct Yuv {
    int y;
    int u;
    int v;
};

// An image a client may see: the exact value, or within `slack` of it for an
// RGB24 push (whose conversion rounds).
struct Acceptable {
    Yuv value;
    int slack;
    const char* what;
};

// `length` bytes: the 1280 x 720 I420 planes, as far as they reach, each
// uniformly c's value, and `tail` beyond them.
std::vector<uint8_t> UniformI420(size_t length, Yuv c, uint8_t tail) {
    std::vector<uint8_t> frame(length, tail);
    const size_t y = kWidth * kHeight;
    const size_t chroma = y / 4;
    std::fill(frame.begin(), frame.begin() + std::min(length, y), static_cast<uint8_t>(c.y));
    if (length > y) {
        std::fill(frame.begin() + y, frame.begin() + std::min(length, y + chroma),
                  static_cast<uint8_t>(c.u));
    }
    if (length > y + chroma) {
        std::fill(frame.begin() + y + chroma, frame.begin() + std::min(length, y + 2 * chroma),
                  static_cast<uint8_t>(c.v));
    }
    return frame;
}

// B, G, R per pixel, then `length - kRgbSize` bytes of `tail`.
std::vector<uint8_t> UniformBgr(size_t length, int r, int g, int b, uint8_t tail) {
    std::vector<uint8_t> frame(length, tail);
    for (size_t i = 0; i + 2 < kRgbSize && i + 2 < length; i += 3) {
        frame[i] = static_cast<uint8_t>(b);
        frame[i + 1] = static_cast<uint8_t>(g);
        frame[i + 2] = static_cast<uint8_t>(r);
    }
    return frame;
}

// BT.601 limited range, from the published coefficients (not the driver's
// integer form): the yardstick for an RGB24 push's image.
Yuv Bt601(int r, int g, int b) {
    Yuv c;
    c.y = static_cast<int>(std::lround(16 + 0.257 * r + 0.504 * g + 0.098 * b));
    c.u = static_cast<int>(std::lround(128 - 0.148 * r - 0.291 * g + 0.439 * b));
    c.v = static_cast<int>(std::lround(128 + 0.439 * r - 0.368 * g - 0.071 * b));
    return c;
}

// A non-uniform pattern written into every buffer before it is submitted,
// so a buffer that comes back marked filled but was not is caught.
std::vector<uint8_t> Poison() {
    std::vector<uint8_t> poison(kImageSize);
    for (size_t i = 0; i < poison.size(); ++i) {
        poison[i] = static_cast<uint8_t>((i * 7 + i / 4093) & 0xFF);
    }
    return poison;
}

int StressSeconds() {
    const char* text = std::getenv("VCAM_STRESS_SECONDS");
    if (text != nullptr) {
        const int seconds = std::atoi(text);
        if (seconds > 0) {
            return seconds;
        }
    }
    return 8;
}

// Collects failures from every thread; the test reports them at the end.
class Failures {
  public:
    void Add(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (texts_.size() < kMaxReportedFailures) {
            texts_.push_back(text);
        }
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& text : texts_) {
            all += text + "\n";
        }
        return all;
    }

  private:
    std::mutex mutex_;
    size_t count_ = 0;
    std::vector<std::string> texts_;
};

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// What the test knows of one pin's claim on the engine, as a sequence lock:
// `epoch` is odd while a state change that may take or give back the claim
// is under way, and `holds` is the claim after the last such change.
struct ClaimRecord {
    std::atomic<uint64_t> epoch{0};
    std::atomic<bool> holds{false};
};

// A capture buffer of one client.
struct Slot {
    std::vector<uint8_t> memory;
    bool outstanding = false;
    uint64_t ticket = 0;
};

class RealClockStressTest : public RealClockKernelTestFixture {
  protected:
    void SetUp() override {
        RealClockKernelTestFixture::SetUp();
        ASSERT_EQ(host::Driver::Load(DriverEntry, &driver_), STATUS_SUCCESS);
        ASSERT_EQ(driver_->AddDevice(&device_), STATUS_SUCCESS);
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        ASSERT_EQ(device_->OpenFilter(kVideo, &source_), STATUS_SUCCESS);
        BuildFrames();
        poison_ = Poison();
    }

    void TearDown() override {
        for (auto& pin : pins_) {
            pin.reset();
        }
        for (auto& filter : filters_) {
            filter.reset();
        }
        source_.reset();
        if (device_) {
            device_->Remove();
            device_.reset();
        }
        driver_.reset();
        RealClockKernelTestFixture::TearDown();
    }

    // The frames the sources push, and the images a client may see.
    void BuildFrames() {
        const Yuv i420[] = {{200, 60, 190}, {50, 100, 150}, {120, 200, 40}, {235, 30, 128}};
        for (const Yuv& c : i420) {
            frames_.push_back(UniformI420(kI420Size, c, 0));
            acceptable_.push_back({c, 0, "I420 push"});
        }
        struct Rgb {
            int r, g, b;
        };
        const Rgb rgb[] = {{255, 0, 0}, {0, 200, 0}, {30, 60, 220}};
        for (const Rgb& c : rgb) {
            frames_.push_back(UniformBgr(kRgbSize, c.r, c.g, c.b, 0));
            acceptable_.push_back({Bt601(c.r, c.g, c.b), 2, "RGB24 push"});
        }
        // Longer than an RGB24 frame: RGB24, the tail ignored.
        frames_.push_back(UniformBgr(kRgbSize + 1001, 250, 250, 20, 0x33));
        acceptable_.push_back({Bt601(250, 250, 20), 2, "long RGB24 push"});
        // The length of a YUY2 image: I420, only its first kI420Size bytes read.
        const Yuv medium = {90, 240, 110};
        frames_.push_back(UniformI420(kImageSize, medium, 0xEE));
        acceptable_.push_back({medium, 0, "I420 push of a YUY2 image's length"});
        // Too short for the I420 planes: dropped, so this image never shows.
        const Yuv never = {17, 33, 222};
        frames_.push_back(UniformI420(kI420Size - 1, never, 0));
        frames_.push_back(UniformI420(1000, never, 0));
        frames_.push_back(UniformI420(1, never, 0));
        forbidden_ = never;
        // A zero-length push (no data at all) is the last kind.
        acceptable_.push_back({{0x00, 0x80, 0x80}, 0, "black"});
    }

    void CreatePins() {
        std::vector<std::vector<uint8_t>> ranges;
        ASSERT_EQ(source_->GetDataRanges(0, &ranges), STATUS_SUCCESS);
        std::vector<uint8_t> format;
        ASSERT_EQ(source_->Intersect(0, ranges.at(0).data(), ranges.at(0).size(), &format),
                  STATUS_SUCCESS);
        for (int k = 0; k < kPins; ++k) {
            ASSERT_EQ(device_->OpenFilter(kCamera, &filters_[k]), STATUS_SUCCESS);
            ASSERT_EQ(filters_[k]->CreatePin(0, format.data(), static_cast<ULONG>(format.size()),
                                             &pins_[k]),
                      STATUS_SUCCESS);
            for (int s = 0; s < kSlotsPerPin; ++s) {
                slots_[k].emplace_back();
                slots_[k].back().memory.resize(kImageSize);
            }
        }
    }

    // ---- checks ------------------------------------------------------------

    // A filled buffer: one uniform image, black or a pushed frame's image.
    void CheckImage(int pin, const uint8_t* image) {
        const uint8_t y0 = image[0], u = image[1], y1 = image[2], v = image[3];
        if (y0 != y1) {
            failures_.Add("pin " + std::to_string(pin) + ": first group's luma bytes differ");
            return;
        }
        for (ULONG i = 4; i < kImageSize; i += 4) {
            if (image[i] != y0 || image[i + 1] != u || image[i + 2] != y1 || image[i + 3] != v) {
                failures_.Add("pin " + std::to_string(pin) + ": torn or partial image, byte " +
                              std::to_string(i) + " differs from the first group");
                return;
            }
        }
        if (y0 == forbidden_.y && u == forbidden_.u && v == forbidden_.v) {
            failures_.Add("pin " + std::to_string(pin) +
                          ": delivered the image of a push too short to be a frame");
            return;
        }
        for (const Acceptable& a : acceptable_) {
            if (std::abs(y0 - a.value.y) <= a.slack && std::abs(u - a.value.u) <= a.slack &&
                std::abs(v - a.value.v) <= a.slack) {
                return;
            }
        }
        failures_.Add("pin " + std::to_string(pin) + ": image Y " + std::to_string(y0) + " U " +
                      std::to_string(u) + " V " + std::to_string(v) +
                      " is neither black nor any pushed image");
    }

    // One buffer given back: it must be outstanding (so never twice), and it
    // is either filled with a whole image or returned unfilled.
    void Reclaim(int pin, const host::CompletedFrame& frame) {
        for (Slot& slot : slots_[pin]) {
            if (!slot.outstanding || slot.ticket != frame.ticket) {
                continue;
            }
            slot.outstanding = false;
            if (frame.data != slot.memory.data() || frame.bufferSize != kImageSize) {
                failures_.Add("pin " + std::to_string(pin) + ": buffer came back changed");
            }
            if (frame.status != STATUS_SUCCESS && frame.status != STATUS_CANCELLED) {
                failures_.Add("pin " + std::to_string(pin) + ": buffer came back with status " +
                              Hex(frame.status));
            }
            if (frame.status == STATUS_SUCCESS && frame.header.DataUsed == kImageSize) {
                CheckImage(pin, slot.memory.data());
                delivered_.fetch_add(1);
            } else if (frame.header.DataUsed != 0) {
                failures_.Add("pin " + std::to_string(pin) + ": buffer came back with DataUsed " +
                              std::to_string(frame.header.DataUsed));
            }
            return;
        }
        failures_.Add("pin " + std::to_string(pin) + ": ticket " + std::to_string(frame.ticket) +
                      " came back but was not outstanding (twice, or never submitted)");
    }

    void TakeAll(int pin) {
        host::CompletedFrame frame;
        while (pins_[pin]->TakeCompleted(&frame) == STATUS_SUCCESS) {
            Reclaim(pin, frame);
        }
    }

    // ---- the claim --------------------------------------------------------

    // Moves pin `k` to `target` under its state mutex, keeping the claim
    // record, and checks the outcome of a move up from STOP against what is
    // surely known of the other pin's claim for the whole attempt. Returns
    // the status.
    NTSTATUS MovePin(int k, KSSTATE target) {
        const int other = 1 - k;
        const KSSTATE from = pins_[k]->State();
        const bool claiming = from == KSSTATE_STOP && target != KSSTATE_STOP;
        const bool crossing = claiming || (from != KSSTATE_STOP && target == KSSTATE_STOP);

        const uint64_t before = claims_[other].epoch.load();
        const bool otherHolds = claims_[other].holds.load();
        if (crossing) {
            claims_[k].epoch.fetch_add(1);  // odd: under way
        }
        const NTSTATUS status = pins_[k]->SetState(target);
        const KSSTATE reached = pins_[k]->State();
        if (crossing) {
            claims_[k].holds.store(reached != KSSTATE_STOP);
            claims_[k].epoch.fetch_add(1);  // even: settled
        }
        const uint64_t after = claims_[other].epoch.load();
        const bool settled = before == after && (before & 1) == 0;

        if (status == STATUS_SUCCESS) {
            if (reached != target) {
                failures_.Add("pin " + std::to_string(k) + " reported success but is in " +
                              std::to_string(reached));
            }
            if (from != target) {
                stateChanges_.fetch_add(1);
            }
            if (claiming && settled && otherHolds) {
                failures_.Add("pin " + std::to_string(k) +
                              " claimed the engine while the other pin held it");
            }
        } else if (status == STATUS_SHARING_VIOLATION && claiming) {
            if (reached != KSSTATE_STOP) {
                failures_.Add("a refused claim left pin " + std::to_string(k) + " in state " +
                              std::to_string(reached));
            }
            if (settled && !otherHolds) {
                failures_.Add("pin " + std::to_string(k) +
                              " was refused the engine while no other pin held it");
            }
            refusedClaims_.fetch_add(1);
        } else {
            failures_.Add("pin " + std::to_string(k) + " move " + std::to_string(from) + " -> " +
                          std::to_string(target) + " failed with " + Hex(status));
        }
        return status;
    }

    // ---- the threads --------------------------------------------------------

    void Producer(int index) {
        std::mt19937 random(1000 + index);
        std::uniform_int_distribution<size_t> pick(0, frames_.size());
        std::uniform_int_distribution<int> pause(0, 3);
        while (!stop_.load()) {
            const size_t which = pick(random);
            NTSTATUS status;
            if (which == frames_.size()) {
                status = source_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, nullptr, 0);
            } else {
                const std::vector<uint8_t>& frame = frames_[which];
                status = source_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME,
                                              frame.data(), static_cast<ULONG>(frame.size()));
            }
            if (status != STATUS_SUCCESS) {
                failures_.Add("push of frame " + std::to_string(which) + " answered " +
                              Hex(status));
            }
            pushes_.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        }
    }

    // One capture client: keeps its buffers submitted while its pin takes
    // them, and reclaims what comes back.
    void Client(int k) {
        while (!stop_.load()) {
            for (Slot& slot : slots_[k]) {
                if (slot.outstanding) {
                    continue;
                }
                std::memcpy(slot.memory.data(), poison_.data(), kImageSize);
                uint64_t ticket = 0;
                const NTSTATUS status = pins_[k]->Submit(slot.memory.data(), kImageSize, &ticket);
                if (status == STATUS_SUCCESS) {
                    slot.outstanding = true;
                    slot.ticket = ticket;
                    submitted_.fetch_add(1);
                } else if (status != STATUS_INVALID_DEVICE_STATE) {
                    failures_.Add("submit on pin " + std::to_string(k) + " answered " +
                                  Hex(status));
                }
            }
            pins_[k]->WaitForCompletion(20ms);
            TakeAll(k);
        }
    }

    // The streaming pin's control: flaps the current holder between the
    // four states, lingering longest in RUN so frames flow.
    void Flapper() {
        std::mt19937 random(77);
        std::uniform_int_distribution<int> pick(0, 9);
        std::uniform_int_distribution<int> runFor(20, 150);
        std::uniform_int_distribution<int> restFor(0, 20);
        while (!stop_.load()) {
            const int k = holder_.load();
            const int roll = pick(random);
            const KSSTATE target = roll < 5   ? KSSTATE_RUN
                                   : roll < 7 ? KSSTATE_PAUSE
                                   : roll < 9 ? KSSTATE_STOP
                                              : KSSTATE_ACQUIRE;
            {
                std::lock_guard<std::mutex> lock(stateMutex_[k]);
                MovePin(k, target);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(
                target == KSSTATE_RUN ? runFor(random) : restFor(random)));
        }
    }

    // The second client: tries to claim the engine with the other pin; a
    // win makes it the streaming pin.
    void Contender() {
        std::mt19937 random(4242);
        std::uniform_int_distribution<int> restFor(2, 30);
        while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(restFor(random)));
            const int c = 1 - holder_.load();
            std::lock_guard<std::mutex> lock(stateMutex_[c]);
            if (holder_.load() == c || pins_[c]->State() != KSSTATE_STOP) {
                continue;  // the roles changed under us
            }
            claimAttempts_.fetch_add(1);
            if (MovePin(c, KSSTATE_ACQUIRE) == STATUS_SUCCESS) {
                holder_.store(c);
                swaps_.fetch_add(1);
            }
        }
    }

    std::unique_ptr<host::Driver> driver_;
    std::unique_ptr<host::Device> device_;
    std::unique_ptr<host::FilterHandle> source_;          // the frame sources' handle
    std::unique_ptr<host::FilterHandle> filters_[kPins];  // one per capture client
    std::unique_ptr<host::PinHandle> pins_[kPins];
    std::vector<Slot> slots_[kPins];  // each client thread's own buffers
    std::mutex stateMutex_[kPins];    // one state change per pin at a time
    ClaimRecord claims_[kPins];
    std::atomic<int> holder_{0};  // the pin the flapper drives
    std::atomic<bool> stop_{false};

    std::vector<std::vector<uint8_t>> frames_;
    std::vector<Acceptable> acceptable_;
    Yuv forbidden_{};
    std::vector<uint8_t> poison_;
    Failures failures_;

    std::atomic<uint64_t> pushes_{0};
    std::atomic<uint64_t> submitted_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> stateChanges_{0};
    std::atomic<uint64_t> claimAttempts_{0};
    std::atomic<uint64_t> refusedClaims_{0};
    std::atomic<uint64_t> swaps_{0};
};

TEST_F(RealClockStressTest, EveryBufferComesBackOnceWholeAndTheVerifierStaysClean) {
    CreatePins();
    {
        std::lock_guard<std::mutex> lock(stateMutex_[0]);
        ASSERT_EQ(MovePin(0, KSSTATE_RUN), STATUS_SUCCESS);
    }

    const int seconds = StressSeconds();
    std::vector<std::thread> threads;
    for (int i = 0; i < kProducers; ++i) {
        threads.emplace_back([this, i] { Producer(i); });
    }
    for (int k = 0; k < kPins; ++k) {
        threads.emplace_back([this, k] { Client(k); });
    }
    threads.emplace_back([this] { Flapper(); });
    threads.emplace_back([this] { Contender(); });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop_.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    // Both pins down: every buffer still out comes back now, filled or not.
    for (int k = 0; k < kPins; ++k) {
        std::lock_guard<std::mutex> lock(stateMutex_[k]);
        MovePin(k, KSSTATE_STOP);
        TakeAll(k);
        for (const Slot& slot : slots_[k]) {
            if (slot.outstanding) {
                failures_.Add("pin " + std::to_string(k) + ": ticket " +
                              std::to_string(slot.ticket) + " never came back");
            }
        }
    }
    for (int k = 0; k < kPins; ++k) {
        EXPECT_EQ(pins_[k]->Close(), STATUS_SUCCESS);
        pins_[k].reset();
        EXPECT_EQ(filters_[k]->Close(), STATUS_SUCCESS);
        filters_[k].reset();
    }
    EXPECT_EQ(source_->Close(), STATUS_SUCCESS);
    source_.reset();
    EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
    device_.reset();

    EXPECT_EQ(failures_.Count(), 0u) << failures_.Text();
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
    EXPECT_EQ(Verifier::OutstandingBlocks(), 0u)
        << Verifier::DescribeBlocks(Verifier::OutstandingList());
    // The run must have exercised what it claims to.
    EXPECT_GT(delivered_.load(), 0u);
    EXPECT_GT(pushes_.load(), 0u);
    EXPECT_GT(claimAttempts_.load(), 0u);

    std::printf(
        "stress: %d seconds, %llu pushes, %llu frames delivered, %llu state changes, %zu "
        "violations\n",
        seconds, static_cast<unsigned long long>(pushes_.load()),
        static_cast<unsigned long long>(delivered_.load()),
        static_cast<unsigned long long>(stateChanges_.load()), Verifier::ViolationCount());
    std::printf(
        "run detail: %llu buffers submitted, %llu claims tried, %llu refused, %llu role swaps\n",
        static_cast<unsigned long long>(submitted_.load()),
        static_cast<unsigned long long>(claimAttempts_.load()),
        static_cast<unsigned long long>(refusedClaims_.load()),
        static_cast<unsigned long long>(swaps_.load()));
}

}  // namespace
