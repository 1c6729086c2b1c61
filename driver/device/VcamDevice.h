// VcamDevice: one per KS device, in KSDEVICE.Context, owned by the device's
// object bag. It owns the device's FrameEngine (through the bag) and relays
// the capture pin's streaming requests and the frame source's pushes to it,
// adding a one-pin claim, the choice of PixelLayout for the claimed format,
// and per-tick completion counts for the pin.
#pragma once

#include "driver/device/CompletionSink.h"
#include "driver/engine/FrameEngine.h"
#include "driver/engine/FrameTickOwner.h"
#include "driver/engine/PixelLayout.h"
#include "driver/platform/Platform.h"

class VcamDevice final : public FrameTickOwner {
  public:
    // PASSIVE_LEVEL, on zero-filled memory (Add).
    explicit VcamDevice(PKSDEVICE device);

    // PASSIVE_LEVEL, pageable; the pin on STOP -> ACQUIRE. STATUS_SUCCESS,
    // STATUS_SHARING_VIOLATION (another pin holds the engine; nothing touched),
    // STATUS_INVALID_PARAMETER (no layout for the format) or
    // STATUS_INSUFFICIENT_RESOURCES (no memory for the layout, or no engine
    // because the device's start could not make one); on failure the device
    // is free again.
    NTSTATUS ClaimEngine(CompletionSink* sink, PKS_VIDEOINFOHEADER videoInfo);
    // PASSIVE_LEVEL, pageable; the pin on reaching STOP with the claim, or a
    // failed ClaimEngine. Frees the layout; gives the claim back last.
    void ReleaseEngine();
    // PASSIVE_LEVEL, pageable; the pin on RUN while the engine is stopped.
    NTSTATUS StartStreaming();
    // PASSIVE_LEVEL, pageable; the pin on RUN -> PAUSE (TRUE) and on the next
    // RUN (FALSE). A pause returns after the engine's last tick finished.
    NTSTATUS SetPaused(BOOLEAN paused);
    // PASSIVE_LEVEL; the pin on the way down. No OnFrameTick follows it.
    NTSTATUS StopStreaming();
    // PASSIVE_LEVEL, pageable; the pin's Process. byteCount or 0.
    ULONG QueueBuffer(PKSSTREAM_POINTER clone, PUCHAR* cursor, ULONG byteCount);
    // PASSIVE_LEVEL, pageable; the frame injection set handler, any time.
    void PushFrame(const UCHAR* data, ULONG length);

    // DISPATCH_LEVEL, resident; the engine at the end of every tick.
    void OnFrameTick() override;

    // Bag free callback: destroys the VcamDevice and returns its memory.
    // Resident; runs wherever the class library frees the device.
    static void BagFree(PVOID item);

    // ---- fields, in their documented order ----

    // The KS device that owns this object; set once at creation; not owned.
    PKSDEVICE ksDevice;
    // 0 while no pin holds the engine, 1 while one does. Interlocked only.
    volatile LONG claimFlag;
    // The current engine; set by the device's start; owned by the device bag.
    FrameEngine* engine;
    // Layout made by ClaimEngine for the claimed format; owned; null while
    // unclaimed. Written only by the claim holder's state changes.
    PixelLayout* layout;
    // The engine's completed count as seen at the previous tick; written by
    // StartStreaming before the engine runs, then only by OnFrameTick.
    ULONG lastCompletedCount;
    // The claiming pin's completion interface; borrowed; null while unclaimed.
    CompletionSink* sink;
    // The claiming pin's copy of its format's video info; borrowed (the pin
    // keeps it alive while it holds the claim); null while unclaimed.
    PKS_VIDEOINFOHEADER claimedVideoInfo;
};
