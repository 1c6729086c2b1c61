// Shared pieces of the frame engine tests: an engine built the way the device
// builds it (zero-filled pool memory, placement new), a tick owner that
// records what each tick saw, capture buffers with real stream headers, and
// the scalar definitions of the conversions the engine must produce.
#pragma once

#include "driver/device/Pool.h"
#include "driver/engine/FrameEngine.h"
#include "driver/engine/I420Layout.h"
#include "driver/engine/Rgb24Layout.h"
#include "driver/engine/Yuy2Layout.h"
#include "support/KernelTestFixture.h"

#include <host/executive/HostKernel.h>
#include <host/variants/Variants.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace enginetest {

constexpr ULONG kWidth = 1280;
constexpr ULONG kHeight = 720;
constexpr ULONG kYuy2Size = kWidth * kHeight * 2;      // 1843200
constexpr ULONG kI420Size = kWidth * kHeight * 3 / 2;  // 1382400
constexpr ULONG kRgbSize = kWidth * kHeight * 3;       // 2764800
constexpr ULONG kLine = kWidth * 2;                    // 2560
constexpr LONGLONG kPeriod = 333667;                   // 29.97 fps
constexpr uint32_t kBufferTag = host::PoolTag("AVSh");
constexpr uint32_t kEntryTag = host::PoolTag("SGEn");

// What one tick saw, recorded by the owner from inside the tick.
struct TickRecord {
    int64_t time;     // system time when OnFrameTick ran
    ULONG tickIndex;  // the engine's tickIndex then
    ULONG completed;  // CompletedFrameCount() then
};

// Records every tick (virtual clock: everything runs on the test thread).
class RecordingOwner final : public FrameTickOwner {
  public:
    void OnFrameTick() override {
        ticks.push_back(
            {host::HostKernel::Now(), engine->tickIndex, engine->CompletedFrameCount()});
        if (hook) {
            hook();
        }
    }
    FrameEngine* engine = nullptr;
    std::vector<TickRecord> ticks;
    std::function<void()> hook;
};

// The engine in NonPagedPoolNx ("HSim"), built as the device builds it.
inline FrameEngine* NewEngine(FrameTickOwner* owner) {
    void* block = PoolAllocateZeroed(sizeof(FrameEngine), NonPagedPoolNx, VCAM_TAG_ENGINE);
    return block == nullptr ? nullptr : new (block) FrameEngine(owner);
}

// The image a tick would fill from now: the published slot.
inline const UCHAR* PublishedImage(const FrameEngine& engine) {
    return (engine.images->handover.state & 1) != 0 ? engine.images->slots[1]
                                                    : engine.images->slots[0];
}

// A stream header with the KS_FRAME_INFO that follows it when Size >= 128.
struct HeaderWithFrameInfo {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO frameInfo;
};
static_assert(sizeof(HeaderWithFrameInfo) == 128, "stream header + frame info is 128 bytes");

// One capture buffer: `byteCount` bytes handed to the engine, followed by a
// guard area, all prefilled with `fill` so that untouched bytes can be told.
struct CaptureBuffer {
    CaptureBuffer(ULONG byteCount, ULONG headerSize, LONG pitch, UCHAR fill = 0xEE,
                  ULONG guard = 4096)
        : memory(static_cast<size_t>(byteCount) + guard, fill), byteCount(byteCount) {
        std::memset(&headers, 0, sizeof headers);
        headers.header.Size = headerSize;
        headers.header.FrameExtent = byteCount;
        headers.header.Data = memory.data();
        headers.frameInfo.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        headers.frameInfo.lSurfacePitch = pitch;
        std::memset(&pointer, 0, sizeof pointer);
        pointer.StreamHeader = &headers.header;
        pointer.OffsetOut.Data = memory.data();
        pointer.OffsetOut.Count = byteCount;
        pointer.OffsetOut.Remaining = byteCount;
    }
    // Hands the buffer to the engine as the pin does; returns what it accepted.
    ULONG QueueOn(FrameEngine& engine) {
        cursor = memory.data();
        return engine.QueueBuffer(&pointer, &cursor, byteCount);
    }
    const UCHAR* data() const { return memory.data(); }

    std::vector<UCHAR> memory;
    ULONG byteCount;
    HeaderWithFrameInfo headers;
    KSSTREAM_POINTER pointer;
    PUCHAR cursor = nullptr;
};

// Deterministic bytes for test images.
inline std::vector<UCHAR> PatternBytes(size_t count, uint32_t seed) {
    std::vector<UCHAR> bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<UCHAR>(state >> 24);
    }
    return bytes;
}

// The I420 -> YUY2 rule, written out plainly: plane offsets as a push lays
// them out, pixel pairs Y U Y V, an odd width ending in Y U 0 V, rows at a
// stride of 2 x width (so an odd width's spill is overwritten by the next row).
inline std::vector<UCHAR> ReferencePushedI420(const UCHAR* data, ULONG width, ULONG height,
                                              size_t outputSize) {
    std::vector<UCHAR> out(outputSize, 0);
    const UCHAR* u = data + width * height;
    const UCHAR* v = data + height * (width + width / 4);
    for (ULONG r = 0; r < height; ++r) {
        const UCHAR* y = data + r * width;
        const UCHAR* ur = u + (r / 2) * (width / 2);
        const UCHAR* vr = v + (r / 2) * (width / 2);
        UCHAR* d = out.data() + r * width * 2;
        ULONG k = 0;
        for (; 2 * k + 1 < width; ++k) {
            d[4 * k] = y[2 * k];
            d[4 * k + 1] = ur[k];
            d[4 * k + 2] = y[2 * k + 1];
            d[4 * k + 3] = vr[k];
        }
        if (width % 2 != 0) {
            d[4 * k] = y[width - 1];
            d[4 * k + 1] = ur[k];
            d[4 * k + 2] = 0;
            d[4 * k + 3] = vr[k];
        }
    }
    return out;
}

// BT.601 limited range of one B, G, R pixel, in real numbers (for checks
// that allow one code value of rounding).
inline double LumaOf(double b, double g, double r) {
    return 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
}
inline double BlueDifferenceOf(double b, double g, double r) {
    return 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
}
inline double RedDifferenceOf(double b, double g, double r) {
    return 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
}

// Fixture: virtual clock, one engine owned by a RecordingOwner, layouts on
// hand; the engine is stopped and freed before the kernel checks run.
class EngineTest : public KernelTestFixture {
  protected:
    void SetUp() override {
        KernelTestFixture::SetUp();
        engine = NewEngine(&owner);
        ASSERT_NE(engine, nullptr);
        owner.engine = engine;
        origin = host::HostKernel::Now();
    }
    void TearDown() override {
        if (engine != nullptr) {
            if (engine->state != EngineStopped) {
                engine->Stop();
            }
            ExFreePool(engine);
            engine = nullptr;
        }
        host::Variants::Reset();
        KernelTestFixture::TearDown();
    }

    NTSTATUS StartYuy2(LONGLONG period = kPeriod) {
        return engine->Start(&yuy2, period, kWidth, kHeight, kYuy2Size);
    }

    // Runs the next `count` expiries of a timer (the engine's ticks, when it
    // is the only timer): each at the clock interrupt where it falls due.
    void AdvanceTicks(int count) {
        for (int i = 0; i < count; ++i) {
            const int64_t next = host::HostKernel::NextExpiry();
            if (next < 0) {
                return;
            }
            host::HostKernel::AdvanceTo(next);
        }
    }

    // The system time of the clock interrupt at which something due at
    // system time `due` is seen (no clock set since SetUp; origin lies on an
    // interrupt).
    int64_t SeenAt(int64_t due) const {
        const int64_t tick = host::HostKernel::TickInterval();
        return origin + (due - origin + tick - 1) / tick * tick;
    }

    // A capture buffer that lives until after TearDown's Stop, whose
    // acknowledging tick may still fill a buffer that is queued.
    CaptureBuffer& Buffer(ULONG byteCount, ULONG headerSize, LONG pitch) {
        buffers.push_back(std::make_unique<CaptureBuffer>(byteCount, headerSize, pitch));
        return *buffers.back();
    }

    std::vector<std::unique_ptr<CaptureBuffer>> buffers;  // destroyed after TearDown
    RecordingOwner owner;
    FrameEngine* engine = nullptr;
    Yuy2Layout yuy2;
    Rgb24Layout rgb24;
    I420Layout i420;
    int64_t origin = 0;  // system time at SetUp, which is when Start runs
};

}  // namespace enginetest
