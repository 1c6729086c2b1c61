// FrameEngine: the device's frame pump. A one-shot timer, due at interrupt
// times startTime + k x framePeriod (armed as relative times, so a system
// clock set never moves the schedule), runs Tick once per frame period at
// DISPATCH_LEVEL; each Running tick fills the capture buffer at the head of
// the queue straight from the current image slot, and tells the owner a tick
// passed.
//
// Ownership: built zero-filled in NonPagedPoolNx ("HSim") by the device's
// start and owned by the device's object bag, which frees the memory only; the
// pin stops the engine before the device can go away.
//
// Locking: queueLock guards the queue, its counters, completedFrames and
// entryPool. scheduleLock orders a pause or stop request against the tick's
// last step (acknowledge, or re-arm the timer). imagesLock guards the images
// pointer; the image slots are handed between pushes and ticks without a lock
// (ImageStore, ImageHandover). state/tickIndex/startTime are written only by
// the control thread while no tick runs or is pending, or by the tick itself.
// A push touches the engine only through images (taken with a reference of
// its own) and state, so Stop never waits for one.
#pragma once

#include "driver/engine/EngineState.h"
#include "driver/engine/FrameTickOwner.h"
#include "driver/engine/ImageStore.h"
#include "driver/engine/PixelLayout.h"
#include "driver/engine/QueuedBuffer.h"
#include "driver/platform/Platform.h"

class FrameEngine {
  public:
    // PASSIVE_LEVEL, on zero-filled memory; called by the device's start.
    explicit FrameEngine(FrameTickOwner* owner);

    // PASSIVE_LEVEL, pageable. Only on a Stopped engine. STATUS_SUCCESS,
    // STATUS_INSUFFICIENT_RESOURCES (a buffer could not be had; nothing is
    // kept) or STATUS_INVALID_PARAMETER (framePeriod below ShortestPeriod or
    // so long that 2^32 periods from now overflow a signed 64-bit time, or
    // imageSize larger than width x height x 3; nothing is allocated). On
    // failure the engine stays Stopped.
    NTSTATUS Start(PixelLayout* layout, LONGLONG framePeriod, ULONG width, ULONG height,
                   ULONG imageSize);
    // PASSIVE_LEVEL, pageable. true pauses a Running engine and returns once
    // no tick runs or is pending (see HaltTicks); false resumes a Paused
    // engine on the next period boundary of the schedule. Any other state:
    // nothing. Always success.
    NTSTATUS SetPaused(BOOLEAN pause);
    // PASSIVE_LEVEL, resident (takes queueLock). Halts the ticks of a Running
    // engine (HaltTicks), gives up the image store (a push in progress frees
    // it when done; Stop never waits for a push) and drains the queue without
    // completing anything. Always success.
    NTSTATUS Stop();
    // Any IRQL, no lock: capture buffers filled since Start.
    ULONG CompletedFrameCount() const;

    // PASSIVE_LEVEL, resident (its body runs under queueLock at
    // DISPATCH_LEVEL); only between a successful Start and its Stop.
    // Accepts byteCount bytes at *cursor whole (advancing *cursor, returning
    // byteCount) or not at all (0, no queue entry to be had).
    ULONG QueueBuffer(PKSSTREAM_POINTER streamPointer, PUCHAR* cursor, ULONG byteCount);

    // PASSIVE_LEVEL, pageable; any time. Makes a pushed I420 or RGB24 frame
    // the current image while Running; dropped otherwise, or when another
    // push has held the gate for PushGateWaitLimit.
    void WriteFrame(const UCHAR* data, ULONG length);
    // PASSIVE_LEVEL, pageable; WriteFrame's body, holding a reference on
    // `store`.
    void WriteInto(ImageStore* store, const UCHAR* data, ULONG length);

    // DISPATCH_LEVEL, resident; the timer DPC's body.
    void Tick();
    // DISPATCH_LEVEL, resident; inside Tick, which holds its reader count on
    // `image` (a published slot) for the whole call. Takes queueLock.
    void FillFrame(const UCHAR* image);
    // PASSIVE_LEVEL, resident (takes scheduleLock); pause and Stop of a
    // Running engine. Returns once no tick runs or is pending. A tick due
    // within HandshakeWaitLimit is waited for and acknowledges the request,
    // after doing its whole job; a later one is cancelled with the timer, so
    // a slow format does not keep the caller waiting.
    // The check is made again whenever a wait of HandshakeWaitLimit runs out.
    void HaltTicks();
    // Any IRQL; the control thread while no tick runs or is pending, or the
    // tick itself under scheduleLock. Makes tick `ticks` (counted from
    // startTime) the latest and arms the timer for the next one, noting its
    // due time in nextDueTime. A tick number past half its range first moves
    // startTime forward by whole periods, so the 32-bit count never wraps
    // into a due time long past.
    void ArmTickAfter(ULONGLONG ticks);

    // Bounded catch-up: a tick after which more than this many ticks would
    // already be overdue (a long stall, or a sleep the interrupt time counts)
    // skips them and re-arms on the next period boundary after now, as a
    // resume does; up to this many missed ticks still run back to back.
    static const ULONG MaxCatchUpPeriods = 8;
    // The shortest frame period Start accepts: 1 ms (1000 frames per second,
    // thirty times the camera's own rate). A faster schedule would keep a
    // processor at DISPATCH_LEVEL copying images; a period shorter than one
    // tick's own work would never leave it at all.
    static constexpr LONGLONG ShortestPeriod = 10000;
    // How long a pause or stop may wait for the acknowledging tick: 100 ms,
    // three periods at the camera's rate and well inside the time a state
    // change callback may take.
    static constexpr LONGLONG HandshakeWaitLimit = 1000000;
    // How long a push waits for the push that holds the gate before it is
    // dropped: 100 ms, many times a running push's conversion, so only a
    // push whose thread is suspended outlasts it.
    static constexpr LONGLONG PushGateWaitLimit = 1000000;

    // ---- fields (the order is the engine's documented layout) ----

    // Layout of the running format; set by Start; borrowed from the device.
    PixelLayout* layout;
    LONGLONG framePeriod;  // 100 ns units, at least ShortestPeriod
    ULONG width;           // pixels
    ULONG height;          // rows (|biHeight|)
    ULONG imageSize;       // bytes of one image in the stream's layout
    KSPIN_LOCK queueLock;
    LIST_ENTRY queue;                 // QueuedBuffer FIFO; queueLock
    NPAGED_LOOKASIDE_LIST entryPool;  // QueuedBuffer entries; queueLock; Start..Stop
    volatile LONG state;              // EngineState
    volatile BOOLEAN stopRequested;   // set by pause/stop, cleared by the acknowledging tick
    KEVENT tickDone;                  // auto-reset; signalled by the acknowledging tick
    volatile ULONG completedFrames;   // buffers filled since Start; queueLock for writes
    ULONG queuedCount;                // entries in queue; queueLock
    ULONG queuedBytes;                // sum of the entries' byteCount; queueLock
    ULONG tickIndex;                  // latest tick, in periods from startTime
    LONGLONG startTime;               // interrupt time at Start: the schedule's origin
    KDPC tickDpc;
    KTIMER tickTimer;
    FrameTickOwner* owner;  // not owned

    // ---- the handshake between pause/stop requests and the tick ----

    // Orders a request (set stopRequested, maybe cancel the timer) against
    // the tick's last step (acknowledge, or re-arm). Taken at DISPATCH_LEVEL.
    KSPIN_LOCK scheduleLock;
    // Interrupt time the timer is armed for; written where the timer is armed
    // (under scheduleLock in the tick), read by HaltTicks under scheduleLock.
    LONGLONG nextDueTime;

    // ---- image hand-over between pushes and ticks ----

    // The stream's image slots, their hand-over and the push gate: one
    // reference held from Start to Stop (nullptr otherwise). Written under
    // imagesLock; a tick reads it without the lock (it runs only while the
    // store is there).
    ImageStore* images;
    // Orders a push taking its reference against Start and Stop replacing
    // the store. Taken at DISPATCH_LEVEL.
    KSPIN_LOCK imagesLock;
};
