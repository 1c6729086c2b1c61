// A frame source's thread can be suspended in the middle of a push (stopped
// in a debugger, its process suspended): whether a critical region keeps it
// from being suspended is left open, so each case runs under both readings.
// Whatever the pusher holds when it is suspended, a stop of the pin must not
// wait for it (the class library allows a state change 500 ms; the suspended
// thread may never come back), and another push may wait for it only boundedly.
// The suspended pusher is suspended at each of its suspension points in turn
// (every platform call it makes at PASSIVE_LEVEL outside a region that blocks
// suspension), for 2 s of virtual time; a wait that only its return can end
// lets that time pass.
#include "pin/PinHarness.h"

#include <host/executive/Suspension.h>
#include <host/variants/Variants.h>

#include "driver/injection/FrameInjection.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using host::HostKernel;
using host::Suspension;
using host::Variant;
using host::Variants;
using host::Verifier;

namespace pintest {
namespace {

constexpr ULONG kI420Size = 1280 * 720 * 3 / 2;
constexpr int64_t kSuspension = 20000000;  // 2 s
constexpr uint32_t kEngineTag = host::PoolTag("HSim");
// Far beyond any machine's pace: a push that has not returned by then hangs.
constexpr auto kHang = std::chrono::seconds(20);

// A push of one uniform I420 frame made on a thread of its own, which is
// suspended at its `point`-th suspension point.
class SuspendablePush {
  public:
    SuspendablePush(host::FilterHandle* filter, UCHAR luma, int point)
        : frame_(kI420Size, luma), thread_([this, filter, point] {
              Suspension::Arm(point, kSuspension);
              armed_.store(true);
              status_ = filter->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame_.data(),
                                            kI420Size);
              done_.store(true);
              Suspension::Disarm();
          }) {}
    ~SuspendablePush() { Finish(); }
    // True once the thread is suspended; false if it finished the push
    // without reaching its point.
    bool Suspended() {
        while (!armed_.load()) {
            std::this_thread::yield();
        }
        return Suspension::WaitUntilSuspended(1) && !done_.load();
    }
    void Finish() {
        Suspension::ResumeAll();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    NTSTATUS Status() const { return status_; }

  private:
    std::vector<UCHAR> frame_;
    NTSTATUS status_ = STATUS_UNSUCCESSFUL;
    std::atomic<bool> armed_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class PushSuspensionTest : public PinHarness, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        PinHarness::SetUp();
        Variants::Set(Variant::SuspendCriticalRegion, std::string(GetParam()) == "blocks" ? 0 : 1);
        ASSERT_TRUE(Variants::Is(Variant::SuspendCriticalRegion, GetParam()));
    }
    void TearDown() override {
        Suspension::ResumeAll();
        PinHarness::TearDown();
        Variants::Reset();
    }
    void Run(host::PinHandle* pin) {
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // Down to STOP; a step may wait for a tick due soon (the pause
    // handshake), never for the suspended push.
    void Stop(host::PinHandle* pin) {
        for (KSSTATE to : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
            const int64_t before = HostKernel::Now();
            ASSERT_EQ(pin->SetState(to), STATUS_SUCCESS) << "to state " << to;
            EXPECT_LE(HostKernel::Now() - before, FrameEngine::HandshakeWaitLimit)
                << "to state " << to;
        }
    }
    // The luma of the image a buffer filled now receives.
    UCHAR CurrentLuma(host::PinHandle* pin) {
        CaptureBuffer& buffer = Buffer();
        EXPECT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
        Tick();
        std::vector<host::CompletedFrame> frames = TakeAll(pin);
        EXPECT_EQ(frames.size(), 1u);
        return buffer.bytes[0];
    }
};

TEST_P(PushSuspensionTest, AStopNeverWaitsForAPushWhoseThreadIsSuspendedAnywhere) {
    host::PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    // Blocks of the stopped pin and device: each stream's store and image
    // slots must be gone again after its stop and the suspended push.
    const size_t buffers = Verifier::OutstandingBlocks(kBufferTag);
    const size_t engineBlocks = Verifier::OutstandingBlocks(kEngineTag);
    int suspendedPushes = 0;
    for (int point = 1;; ++point) {
        SCOPED_TRACE("suspended at suspension point " + std::to_string(point));
        Run(pin);
        SuspendablePush push(filter_.get(), 0x40, point);
        if (!push.Suspended()) {
            push.Finish();  // the push has fewer points: every one was tried
            Stop(pin);
            break;
        }
        ++suspendedPushes;
        Stop(pin);
        // The pin is stopped and may even run again while the push is still
        // suspended; when the thread comes back, its push ends harmlessly.
        Run(pin);
        push.Finish();
        EXPECT_EQ(push.Status(), STATUS_SUCCESS);
        Stop(pin);
        ASSERT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
        EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffers);
        EXPECT_EQ(Verifier::OutstandingBlocks(kEngineTag), engineBlocks);
    }
    EXPECT_GE(suspendedPushes, 2);
}

TEST_P(PushSuspensionTest, APushWaitsForASuspendedPushAtMostItsLimitAndIsDropped) {
    host::PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    Run(pin);
    // Where a critical region blocks suspension, the push can be suspended
    // only before or after its work, holding nothing: at its last point.
    // Otherwise it is suspended at its last point inside the region, where it
    // has published its image and still holds the gate.
    int last = 0;
    for (int point = 1;; ++point) {
        SuspendablePush probe(filter_.get(), 0x30, point);
        if (!probe.Suspended()) {
            break;
        }
        last = point;
    }
    const bool holdsGate = Variants::Is(Variant::SuspendCriticalRegion, "not");
    ASSERT_GT(last, 1);
    SuspendablePush push(filter_.get(), 0x40, holdsGate ? last - 1 : last);
    ASSERT_TRUE(push.Suspended());
    EXPECT_EQ(CurrentLuma(pin), 0x40);

    // A second push, on a thread of its own so that a hang shows as one.
    std::atomic<bool> returned{false};
    int64_t waited = -1;
    std::thread second([&] {
        std::vector<UCHAR> frame(kI420Size, 0x50);
        const int64_t start = HostKernel::Now();
        EXPECT_EQ(
            filter_->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame.data(), kI420Size),
            STATUS_SUCCESS);
        waited = HostKernel::Now() - start;
        returned.store(true);
    });
    const auto giveUp = std::chrono::steady_clock::now() + kHang;
    while (!returned.load() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool hung = !returned.load();
    push.Finish();
    second.join();
    ASSERT_FALSE(hung) << "a push waited for a suspended push without end";
    if (holdsGate) {
        // Dropped after its limit (a relative time-out ends at a clock
        // interrupt, up to one interval from it): the image is still the
        // suspended push's.
        EXPECT_NEAR(waited, FrameEngine::PushGateWaitLimit, host::HostKernel::TickInterval());
        EXPECT_EQ(CurrentLuma(pin), 0x40);
    } else {
        EXPECT_EQ(waited, 0);
        EXPECT_EQ(CurrentLuma(pin), 0x50);
    }
    Stop(pin);
}

INSTANTIATE_TEST_SUITE_P(CriticalRegion, PushSuspensionTest, ::testing::Values("blocks", "not"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "blocks" ? "BlocksSuspension"
                                                                        : "DoesNotBlockSuspension";
                         });

}  // namespace
}  // namespace pintest
