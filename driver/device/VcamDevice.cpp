#include "driver/device/VcamDevice.h"

#include "driver/device/Pool.h"
#include "driver/engine/I420Layout.h"
#include "driver/engine/Rgb24Layout.h"
#include "driver/engine/Yuy2Layout.h"

namespace {

const ULONG FourccYuy2 = 0x32595559;  // "YUY2"
const ULONG FourccI420 = 0x30323449;  // "I420"

// PASSIVE_LEVEL, pageable. Builds the layout class for a bit count and
// compression, in zero-filled pool with that class's tag; null when the pair
// names no format the engine serves (*known false) or when memory ran out.
VCAM_PAGE PixelLayout* MakeLayout(USHORT bitCount, ULONG compression, bool* known) {
    PAGED_CODE();
    *known = true;
    if (bitCount == 24 && compression == KS_BI_RGB) {
        PVOID block = PoolAllocateZeroed(sizeof(Rgb24Layout), NonPagedPoolNx, VCAM_TAG_RGB_LAYOUT);
        return block != nullptr ? new (block) Rgb24Layout() : nullptr;
    }
    if (bitCount == 16 && compression == FourccYuy2) {
        PVOID block = PoolAllocateZeroed(sizeof(Yuy2Layout), NonPagedPoolNx, VCAM_TAG_YUV_LAYOUT);
        return block != nullptr ? new (block) Yuy2Layout() : nullptr;
    }
    if (bitCount == 12 && compression == FourccI420) {
        PVOID block = PoolAllocateZeroed(sizeof(I420Layout), NonPagedPoolNx, VCAM_TAG_YUV_LAYOUT);
        return block != nullptr ? new (block) I420Layout() : nullptr;
    }
    *known = false;
    return nullptr;
}

}  // namespace

VCAM_PAGE VcamDevice::VcamDevice(PKSDEVICE device)
    : ksDevice(device),
      claimFlag(0),
      engine(nullptr),
      layout(nullptr),
      lastCompletedCount(0),
      sink(nullptr),
      claimedVideoInfo(nullptr) {
    PAGED_CODE();
}

VCAM_PAGE NTSTATUS VcamDevice::ClaimEngine(CompletionSink* claimant,
                                           PKS_VIDEOINFOHEADER videoInfo) {
    PAGED_CODE();
    // A device whose start could not make an engine has nothing to claim;
    // refusing here keeps every later relay call off a null engine.
    if (engine == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The one-pin claim: whoever turns 0 into 1 holds the engine; a loser
    // touches nothing, so the holder's claim stays as it was.
    if (InterlockedCompareExchange(&claimFlag, 1, 0) != 0) {
        return STATUS_SHARING_VIOLATION;
    }
    claimedVideoInfo = videoInfo;
    if (layout != nullptr) {
        delete layout;
        layout = nullptr;
    }

    bool known = false;
    layout = MakeLayout(claimedVideoInfo->bmiHeader.biBitCount,
                        claimedVideoInfo->bmiHeader.biCompression, &known);
    if (layout == nullptr) {
        ReleaseEngine();
        return known ? STATUS_INSUFFICIENT_RESOURCES : STATUS_INVALID_PARAMETER;
    }
    sink = claimant;
    return STATUS_SUCCESS;
}

VCAM_PAGE void VcamDevice::ReleaseEngine() {
    PAGED_CODE();
    if (layout != nullptr) {
        delete layout;
        layout = nullptr;
    }
    claimedVideoInfo = nullptr;
    sink = nullptr;
    // Last: a new claimant must never see a field of the old claim.
    InterlockedExchange(&claimFlag, 0);
}

VCAM_PAGE NTSTATUS VcamDevice::StartStreaming() {
    PAGED_CODE();
    lastCompletedCount = 0;
    const KS_BITMAPINFOHEADER& bitmap = claimedVideoInfo->bmiHeader;
    // A top-down format (negative height) has the same row count.
    const ULONG rows = bitmap.biHeight < 0 ? 0U - static_cast<ULONG>(bitmap.biHeight)
                                           : static_cast<ULONG>(bitmap.biHeight);
    return engine->Start(layout, claimedVideoInfo->AvgTimePerFrame,
                         static_cast<ULONG>(bitmap.biWidth), rows, bitmap.biSizeImage);
}

VCAM_PAGE NTSTATUS VcamDevice::SetPaused(BOOLEAN paused) {
    PAGED_CODE();
    return engine->SetPaused(paused);
}

// Not pageable: the engine's Stop takes its spin lock, and keeping the relay
// resident keeps the call chain honest for a reader.
VCAM_RESIDENT NTSTATUS VcamDevice::StopStreaming() {
    return engine->Stop();
}

VCAM_PAGE ULONG VcamDevice::QueueBuffer(PKSSTREAM_POINTER clone, PUCHAR* cursor, ULONG byteCount) {
    PAGED_CODE();
    return engine->QueueBuffer(clone, cursor, byteCount);
}

VCAM_PAGE void VcamDevice::PushFrame(const UCHAR* data, ULONG length) {
    PAGED_CODE();
    // A device whose engine could not be made at start drops the frame; the
    // set request still succeeds.
    if (engine != nullptr) {
        engine->WriteFrame(data, length);
    }
}

VCAM_RESIDENT void VcamDevice::OnFrameTick() {
    // Ticks run only while the claiming pin streams, so sink is set; the
    // engine's count is one aligned 32-bit read, and the difference is taken
    // modulo 2^32 so a wrap of the running count still yields the true step.
    const ULONG completed = engine->CompletedFrameCount();
    sink->FramesCompleted(completed - lastCompletedCount);
    lastCompletedCount = completed;
}

VCAM_RESIDENT void VcamDevice::BagFree(PVOID item) {
    if (item != nullptr) {
        static_cast<VcamDevice*>(item)->~VcamDevice();
        PoolFree(item);
    }
}
