// The engine on the real clock: ticks on the DPC thread, pushes from several
// threads, and the control thread starting, pausing, resuming and stopping
// the engine all at once. These are the runs the thread and address
// sanitizer builds check: no torn frame is ever delivered, no push touches
// freed memory, and the handshakes leave no tick behind.
#include "engine/EngineHarness.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace enginetest;

namespace {

constexpr ULONG kSmallWidth = 320;
constexpr ULONG kSmallHeight = 240;
constexpr ULONG kSmallImage = kSmallWidth * kSmallHeight * 2;     // YUY2
constexpr ULONG kSmallPush = kSmallWidth * kSmallHeight * 3 / 2;  // I420
constexpr LONGLONG kFastPeriod = 20000;                           // 2 ms

// Counts ticks; runs on the DPC thread.
class CountingOwner final : public FrameTickOwner {
  public:
    void OnFrameTick() override { ticks.fetch_add(1); }
    std::atomic<uint64_t> ticks{0};
};

// Threads that push uniform I420 frames (every byte one value, so the YUY2
// image is every byte that value) as fast as they can until told to stop.
class Pushers {
  public:
    Pushers(FrameEngine* engine, int count) {
        for (int t = 0; t < count; ++t) {
            threads_.emplace_back([this, engine, t] {
                std::vector<UCHAR> frame(kSmallPush);
                for (uint32_t i = 0; !stop_.load(); ++i) {
                    // Values 1..240, never 0x00/0x80 pairs or the 0xEE fill.
                    const UCHAR value = static_cast<UCHAR>(1 + (t * 61 + i) % 0xE0);
                    std::fill(frame.begin(), frame.end(), value);
                    // A reference of its own keeps the store of the moment
                    // (if any) readable across the push, whatever Stop does.
                    ImageStore* store = ImageStore::Take(&engine->images, &engine->imagesLock);
                    const LONG before = store != nullptr ? store->handover.PublishedSlot() : 0;
                    engine->WriteFrame(frame.data(), kSmallPush);
                    pushes_.fetch_add(1);
                    // A different published slot after the call: some push
                    // (this one or another thread's) wrote and published.
                    if (store != nullptr) {
                        if (store->handover.PublishedSlot() != before) {
                            publishes_.fetch_add(1);
                        }
                        store->Release();
                    }
                }
            });
        }
    }
    ~Pushers() { Join(); }
    void Join() {
        stop_.store(true);
        for (auto& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    uint64_t Pushes() const { return pushes_.load(); }
    uint64_t Publishes() const { return publishes_.load(); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> pushes_{0};
    std::atomic<uint64_t> publishes_{0};
    std::vector<std::thread> threads_;
};

// Polls `done` until it holds; false only if it never does within a bound
// far beyond any machine's pace (a hang, not a slow run).
template <typename Predicate>
bool Eventually(Predicate done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

enum class Content { Untouched, Black, Pushed, Torn };

// What a capture buffer holds: still the 0xEE fill, the black YUY2 image, one
// pushed frame (every byte the same), or anything else (a torn frame).
Content Classify(const CaptureBuffer& buffer) {
    const UCHAR* data = buffer.data();
    bool uniform = true, black = true;
    for (ULONG i = 0; i < kSmallImage; ++i) {
        uniform = uniform && data[i] == data[0];
        black = black && data[i] == ((i & 1) != 0 ? 0x80 : 0x00);
    }
    if (black) {
        return Content::Black;
    }
    if (uniform) {
        return data[0] == 0xEE ? Content::Untouched : Content::Pushed;
    }
    return Content::Torn;
}

class EngineRealClockTest : public RealClockKernelTestFixture {
  protected:
    void SetUp() override {
        RealClockKernelTestFixture::SetUp();
        engine = NewEngine(&owner);
        ASSERT_NE(engine, nullptr);
    }
    void TearDown() override {
        if (engine != nullptr) {
            if (engine->state != EngineStopped) {
                engine->Stop();
            }
            ExFreePool(engine);
        }
        RealClockKernelTestFixture::TearDown();
    }
    NTSTATUS StartSmall() {
        return engine->Start(&yuy2, kFastPeriod, kSmallWidth, kSmallHeight, kSmallImage);
    }

    CountingOwner owner;
    Yuy2Layout yuy2;
    FrameEngine* engine = nullptr;
};

TEST_F(EngineRealClockTest, LifecycleLoopWithConcurrentPushersNeverDeliversATornFrame) {
    Pushers pushers(engine, 3);
    constexpr int kCycles = 30;
    constexpr int kBuffers = 4;
    uint64_t delivered = 0, pushedDelivered = 0;

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(StartSmall(), STATUS_SUCCESS);
        std::vector<std::unique_ptr<CaptureBuffer>> buffers;
        for (int b = 0; b < kBuffers; ++b) {
            buffers.push_back(
                std::make_unique<CaptureBuffer>(kSmallImage, sizeof(KSSTREAM_HEADER), 0));
            ASSERT_EQ(buffers.back()->QueueOn(*engine), kSmallImage);
        }
        // Two more ticks: at least the second found the buffers queued and
        // filled one (the owner hears of a tick after its fill).
        const uint64_t ticksAtStart = owner.ticks.load();
        ASSERT_TRUE(Eventually([&] { return owner.ticks.load() >= ticksAtStart + 2; }));

        ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
        // Paused: no tick runs, so the count and the buffers hold still.
        const ULONG completed = engine->CompletedFrameCount();
        const uint64_t ticksAtPause = owner.ticks.load();
        ASSERT_LE(completed, static_cast<ULONG>(kBuffers));
        for (int b = 0; b < kBuffers; ++b) {
            const Content content = Classify(*buffers[b]);
            if (b < static_cast<int>(completed)) {
                EXPECT_NE(content, Content::Untouched) << "buffer " << b;
                EXPECT_NE(content, Content::Torn) << "buffer " << b;
                pushedDelivered += content == Content::Pushed ? 1 : 0;
            } else {
                EXPECT_EQ(content, Content::Untouched) << "buffer " << b;
            }
        }
        delivered += completed;
        std::this_thread::sleep_for(std::chrono::milliseconds(6));
        EXPECT_EQ(owner.ticks.load(), ticksAtPause);

        ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
        // Resumed: the ticks come back.
        ASSERT_TRUE(Eventually([&] { return owner.ticks.load() > ticksAtPause; }));
        ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
        // Stopped: whatever was filled is one whole image.
        for (int b = 0; b < kBuffers; ++b) {
            EXPECT_NE(Classify(*buffers[b]), Content::Torn) << "buffer " << b;
        }
    }
    pushers.Join();
    EXPECT_GT(pushers.Pushes(), 0u);
    // The run did deliver frames, pushed ones among them.
    EXPECT_GT(delivered, 0u);
    EXPECT_GT(pushedDelivered, 0u);
}

TEST_F(EngineRealClockTest, StopRacingPushesNeverTouchesFreedMemory) {
    Pushers pushers(engine, 3);
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(StartSmall(), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (cycle % 7)));
        if (cycle % 3 == 0) {
            ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
        }
        ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(engine->images, nullptr);
    }
    pushers.Join();
    // Pushes did write into the engine's buffers while Stop raced them, not
    // only knock on a stopped engine.
    EXPECT_GT(pushers.Publishes(), 0u);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kBufferTag), 0u);
}

}  // namespace
