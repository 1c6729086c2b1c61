#include "driver/engine/FrameEngine.h"

#include "driver/engine/FrameConversion.h"
#include "driver/platform/PoolTags.h"

// _mm_pause: the processor's spin-wait hint, for the one place a push waits.
#include <emmintrin.h>

namespace {

// The latest interrupt time a due time may name: the largest signed 64-bit
// value.
const ULONGLONG kLatestDueTime = 0x7FFFFFFFFFFFFFFFull;

// Tick numbers are 32-bit; from this one on, the schedule's origin moves
// forward instead (after 2^31 periods: 2.27 years at the camera's rate).
const ULONGLONG kRebaseTicks = 0x80000000ull;

// A stream header followed by a KS_FRAME_INFO: at least this many bytes.
const ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// imageState: bit 0 names the published image slot; the bit ReadingBit(slot)
// is set while a tick copies that slot into the snapshot.
const LONG kPublishedSlotMask = 1;
inline LONG ReadingBit(LONG slot) {
    return 2 << slot;
}

// Any IRQL. The engine's lock-free words are read with an interlocked
// operation, so every read is ordered against the writers on other processors.
inline LONG AtomicRead(volatile LONG* word) {
    return InterlockedCompareExchange(word, 0, 0);
}

// Any IRQL. stopRequested is a single byte shared between the control thread
// and the tick; both compilers that build the driver provide these builtins.
inline BOOLEAN ReadFlag(volatile BOOLEAN* flag) {
    return __atomic_load_n(flag, __ATOMIC_ACQUIRE);
}
inline void WriteFlag(volatile BOOLEAN* flag, BOOLEAN value) {
    __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

// Any IRQL. Bytes a YUY2 image of width x height occupies when written at a
// stride of 2 x width: an odd width's last group spills two bytes past the
// row, so the last row reaches 4 x ((width + 1) / 2) bytes from its start.
inline ULONGLONG Yuy2Extent(ULONG width, ULONG height) {
    if (width == 0 || height == 0) {
        return 0;
    }
    return static_cast<ULONGLONG>(height - 1) * 2 * width +
           4 * ((static_cast<ULONGLONG>(width) + 1) / 2);
}

// Any IRQL. One past the last byte the I420 path reads from a push of this
// size: the Y plane, then (height + 1) / 2 rows of (width + 1) / 2 bytes at a
// stride of width / 2 from each chroma plane's start.
inline ULONGLONG I420Extent(ULONG width, ULONG height) {
    const ULONGLONG w = width;
    const ULONGLONG h = height;
    const ULONGLONG chromaRows = (h + 1) / 2;
    const ULONGLONG chromaTail = (chromaRows - 1) * (w / 2) + (w + 1) / 2;
    const ULONGLONG luma = w * h;
    const ULONGLONG u = w * h + chromaTail;
    const ULONGLONG v = h * (w + w / 4) + chromaTail;
    ULONGLONG extent = luma;
    if (u > extent) {
        extent = u;
    }
    if (v > extent) {
        extent = v;
    }
    return extent;
}

// PASSIVE_LEVEL (Start). Writes the black image that suits imageSize into one
// image slot; the rules cover at most imageSize bytes. width x height x 3 fits
// in 32 bits (Start checked), so the products here are exact.
void WriteBlackImage(PUCHAR image, ULONG width, ULONG height, ULONG imageSize) {
    const ULONG pixels = width * height;
    if (imageSize == (pixels * 3) >> 1) {
        RtlFillMemory(image, pixels, 0);
        RtlFillMemory(image + pixels, pixels / 2, 0x80);
    } else if (imageSize == pixels * 2) {
        for (ULONG i = 0; i < pixels; ++i) {
            image[2 * i] = 0x00;
            image[2 * i + 1] = 0x80;
        }
    } else {
        RtlZeroMemory(image, imageSize);
    }
}

// How a push becomes the current image (see FrameEngine::WriteFrame).
enum PushPath {
    PushDropped,
    PushI420ToYuy2,
    PushRgb24ToYuy2,
    PushRgb24Copy,
};

}  // namespace

// DISPATCH_LEVEL, resident: the tick timer's DPC; its context is the engine.
VCAM_RESIDENT static void FrameEngineTickDpc(PKDPC dpc, PVOID context, PVOID argument1,
                                             PVOID argument2) {
    (void)dpc;
    (void)argument1;
    (void)argument2;
    static_cast<FrameEngine*>(context)->Tick();
}

// PASSIVE_LEVEL, pageable; the device's start builds the engine on zero-filled
// pool memory. Pushes are refused until the first Start: the rundown reference
// starts out run down (the wait returns at once, nobody holds it).
VCAM_PAGE FrameEngine::FrameEngine(FrameTickOwner* tickOwner) {
    PAGED_CODE();
    owner = tickOwner;
    KeInitializeDpc(&tickDpc, FrameEngineTickDpc, this);
    KeInitializeEvent(&tickDone, SynchronizationEvent, FALSE);
    KeInitializeTimer(&tickTimer);
    KeInitializeSpinLock(&queueLock);
    KeInitializeSpinLock(&scheduleLock);
    InitializeListHead(&queue);
    KeInitializeEvent(&writeGate, SynchronizationEvent, TRUE);
    ExInitializeRundownProtection(&pushRundown);
    ExWaitForRundownProtectionRelease(&pushRundown);
}

// PASSIVE_LEVEL, pageable; StartStreaming of the device, on a Stopped engine.
VCAM_PAGE NTSTATUS FrameEngine::Start(PixelLayout* streamLayout, LONGLONG period, ULONG imageWidth,
                                      ULONG imageHeight, ULONG streamImageSize) {
    PAGED_CODE();
    // The schedule's origin, taken first: the longest period depends on it.
    // Interrupt time, not system time: a system clock set never moves it.
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());

    // Slot 0 holds width x height x 3 bytes; its size must be a 32-bit figure
    // and the stream's image must fit in it. A period below ShortestPeriod
    // would bury the processor in ticks (below 1 every tick is due at once).
    // Every due time is now + k x period with k a 32-bit tick number, formed
    // in signed 64 bits: a period so long that this would overflow has no
    // schedule (the sum would come out negative), so it is refused too.
    const ULONGLONG rgbBytes = static_cast<ULONGLONG>(imageWidth) * imageHeight * 3;
    const ULONGLONG origin = now > 0 ? static_cast<ULONGLONG>(now) : 0;
    const ULONGLONG longestPeriod = (kLatestDueTime - origin) >> 32;
    if (streamLayout == nullptr || period < ShortestPeriod ||
        static_cast<ULONGLONG>(period) > longestPeriod || rgbBytes > 0xFFFFFFFFull ||
        streamImageSize > rgbBytes) {
        return STATUS_INVALID_PARAMETER;
    }

    imageSize = streamImageSize;
    layout = streamLayout;
    framePeriod = period;
    height = imageHeight;
    width = imageWidth;
    InitializeListHead(&queue);
    completedFrames = 0;
    queuedCount = 0;
    queuedBytes = 0;
    tickIndex = 0;
    WriteFlag(&stopRequested, FALSE);
    InterlockedExchange(&imageState, 0);

    startTime = now;

    snapshot =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, imageSize, VCAM_TAG_BUFFER));
    frameBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(rgbBytes), VCAM_TAG_BUFFER));
    backBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, imageSize, VCAM_TAG_BUFFER));
    if (snapshot == nullptr || frameBuffer == nullptr || backBuffer == nullptr) {
        // Nothing is kept from a failed Start: no Stop follows it.
        PUCHAR* buffers[] = {&snapshot, &frameBuffer, &backBuffer};
        for (PUCHAR* buffer : buffers) {
            if (*buffer != nullptr) {
                ExFreePool(*buffer);
                *buffer = nullptr;
            }
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Both slots start as the same black image, so a reader never sees bytes
    // the pool handed out uninitialised.
    WriteBlackImage(frameBuffer, width, height, imageSize);
    WriteBlackImage(backBuffer, width, height, imageSize);

    ExInitializeNPagedLookasideList(&entryPool, nullptr, nullptr, POOL_NX_ALLOCATION,
                                    sizeof(QueuedBuffer), VCAM_TAG_ENTRY, 0);
    // The buffers exist: pushes may come in from now on.
    ExReInitializeRundownProtection(&pushRundown);
    InterlockedExchange(&state, EngineRunning);

    // No tick runs or is pending before this timer: no lock needed.
    ArmTickAfter(0);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, pageable; SetPaused of the device. A pause returns once no
// tick runs or is pending; a resume re-arms on the next period boundary.
VCAM_PAGE NTSTATUS FrameEngine::SetPaused(BOOLEAN pause) {
    PAGED_CODE();
    if (pause) {
        if (AtomicRead(&state) != EngineRunning) {
            return STATUS_SUCCESS;
        }
        HaltTicks();
        InterlockedExchange(&state, EnginePaused);
        return STATUS_SUCCESS;
    }

    if (AtomicRead(&state) != EnginePaused) {
        return STATUS_SUCCESS;
    }
    // Periods elapsed since the schedule's origin, truncated. Interrupt time
    // never runs back; the clamp only guards the 32-bit tick number.
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    LONGLONG elapsed = (now - startTime) / framePeriod;
    if (elapsed < 0) {
        elapsed = 0;
    }
    InterlockedExchange(&state, EngineRunning);
    // No tick runs or is pending while Paused: no lock needed.
    ArmTickAfter(static_cast<ULONGLONG>(elapsed));
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, resident: its checks run under scheduleLock at
// DISPATCH_LEVEL. SetPaused(TRUE) and Stop of a Running engine.
//
// Under the lock the tick either has already re-armed the timer (and touches
// the engine no more) or has yet to look at stopRequested. So when the pending
// tick lies further off than HandshakeWaitLimit and KeCancelTimer takes it out
// of the timer queue, no tick runs or is pending and the request is done
// without one. Otherwise a tick is due soon, queued or running, and it sees
// the flag, does its whole job and acknowledges through tickDone.
//
// The schedule, the timer (armed with relative due times) and the wait all
// run on interrupt time, so a system clock set while a request waits moves
// none of them. Each time the wait runs out, the check is made again, and a
// tick that lies far off after all (a slow format's) is cancelled then.
VCAM_RESIDENT void FrameEngine::HaltTicks() {
    BOOLEAN requested = FALSE;
    for (;;) {
        BOOLEAN cancelled = FALSE;
        const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&scheduleLock);
        if (!requested) {
            // Set once: after an acknowledgement the flag is the tick's to
            // clear, and setting it again would stop the resumed stream.
            WriteFlag(&stopRequested, TRUE);
            requested = TRUE;
        }
        const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
        if (nextDueTime > now && nextDueTime - now > HandshakeWaitLimit) {
            cancelled = KeCancelTimer(&tickTimer);
            if (cancelled) {
                WriteFlag(&stopRequested, FALSE);
            }
        }
        KeReleaseSpinLock(&scheduleLock, oldIrql);
        if (cancelled) {
            return;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -HandshakeWaitLimit;
        if (KeWaitForSingleObject(&tickDone, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS) {
            return;
        }
    }
}

// Any IRQL, resident; see the declaration for who calls it and when.
VCAM_RESIDENT void FrameEngine::ArmTickAfter(ULONGLONG ticks) {
    if (ticks >= kRebaseTicks) {
        // ticks x framePeriod periods have passed since startTime, so the
        // product is at most now - startTime and cannot overflow.
        startTime += static_cast<LONGLONG>(ticks) * framePeriod;
        ticks = 0;
    }
    tickIndex = static_cast<ULONG>(ticks);
    // (ticks + 1) x framePeriod is at most 2^31 periods, which Start's
    // longest period keeps within range; the sum saturates at the latest time
    // a due time can name.
    LONGLONG due;
    if (__builtin_add_overflow(startTime, static_cast<LONGLONG>(ticks + 1) * framePeriod, &due)) {
        due = static_cast<LONGLONG>(kLatestDueTime);
    }
    nextDueTime = due;
    // Armed relative to the interrupt time the clock last reported, which is
    // what a relative due time counts from: the timer expires at the first
    // clock interrupt at or after `due`, and a system clock set leaves it
    // alone. A due time already reached is armed as the shortest interval,
    // which expires at the next interrupt.
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    LARGE_INTEGER interval;
    interval.QuadPart = due > now ? -(due - now) : -1;
    KeSetTimer(&tickTimer, interval, &tickDpc);
}

// PASSIVE_LEVEL, resident (it takes queueLock); StopStreaming of the device.
VCAM_RESIDENT NTSTATUS FrameEngine::Stop() {
    const LONG current = AtomicRead(&state);
    if (current == EngineStopped) {
        // Nothing was started (or it was stopped already): nothing to release.
        return STATUS_SUCCESS;
    }
    if (current == EngineRunning) {
        HaltTicks();
    }
    InterlockedExchange(&state, EngineStopped);
    // No tick runs or is pending now. Wait for a push that got in before the
    // state changed; later pushes fail to acquire the reference and drop.
    ExWaitForRundownProtectionRelease(&pushRundown);

    PUCHAR* buffers[] = {&snapshot, &frameBuffer, &backBuffer};
    for (PUCHAR* buffer : buffers) {
        if (*buffer != nullptr) {
            ExFreePool(*buffer);
            *buffer = nullptr;
        }
    }

    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queueLock);
    while (queuedCount > 0) {
        PLIST_ENTRY link = RemoveHeadList(&queue);
        --queuedCount;
        ExFreeToNPagedLookasideList(&entryPool, CONTAINING_RECORD(link, QueuedBuffer, link));
    }
    completedFrames = 0;
    queuedBytes = 0;
    ExDeleteNPagedLookasideList(&entryPool);
    KeReleaseSpinLock(&queueLock, oldIrql);
    return STATUS_SUCCESS;
}

// Any IRQL, resident, no lock; OnFrameTick of the device (DISPATCH_LEVEL).
VCAM_RESIDENT ULONG FrameEngine::CompletedFrameCount() const {
    return completedFrames;
}

// PASSIVE_LEVEL, resident: the whole body runs under queueLock at
// DISPATCH_LEVEL. QueueBuffer of the device, from the pin's Process.
VCAM_RESIDENT ULONG FrameEngine::QueueBuffer(PKSSTREAM_POINTER streamPointer, PUCHAR* cursor,
                                             ULONG byteCount) {
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&queueLock);
    QueuedBuffer* entry = static_cast<QueuedBuffer*>(ExAllocateFromNPagedLookasideList(&entryPool));
    if (entry == nullptr) {
        KeReleaseSpinLock(&queueLock, oldIrql);
        return 0;
    }
    entry->target = *cursor;
    entry->byteCount = byteCount;
    entry->streamPointer = streamPointer;
    *cursor += byteCount;
    InsertTailList(&queue, &entry->link);
    ++queuedCount;
    queuedBytes += byteCount;
    KeReleaseSpinLock(&queueLock, oldIrql);
    return byteCount;
}

// DISPATCH_LEVEL, resident; the tick DPC. Ticks never overlap: the one-shot
// timer is re-armed only as the tick's last step.
VCAM_RESIDENT void FrameEngine::Tick() {
    ++tickIndex;
    if (AtomicRead(&state) == EngineRunning) {
        // Mark the slot published at this instant as being read (one
        // compare-exchange; it fails only if a push published in between),
        // copy it, and unmark it. The tick never waits for a writer: a push
        // only ever writes the slot that is not published.
        LONG observed = AtomicRead(&imageState);
        for (;;) {
            const LONG marked = observed | ReadingBit(observed & kPublishedSlotMask);
            const LONG previous = InterlockedCompareExchange(&imageState, marked, observed);
            if (previous == observed) {
                break;
            }
            observed = previous;
        }
        const LONG slot = observed & kPublishedSlotMask;
        RtlCopyMemory(snapshot, slot == 0 ? frameBuffer : backBuffer, imageSize);
        InterlockedExchangeAdd(&imageState, -ReadingBit(slot));
        FillFrame();
    }
    if (owner != nullptr) {
        owner->OnFrameTick();
    }
    // The last step, ordered against HaltTicks by scheduleLock.
    KeAcquireSpinLockAtDpcLevel(&scheduleLock);
    if (ReadFlag(&stopRequested)) {
        // Acknowledge a pause or stop: leave the timer idle and wake the
        // requester. Signalling is this tick's last access to the engine.
        WriteFlag(&stopRequested, FALSE);
        KeReleaseSpinLockFromDpcLevel(&scheduleLock);
        KeSetEvent(&tickDone, 0, FALSE);
        return;
    }

    // A relative timer may expire up to a clock interrupt early: this tick
    // still delivers (the next due time comes from the schedule, so the long
    // run rate stays exact and an early tick only shifts one frame).
    ULONGLONG latest = tickIndex;
    const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
    if (now >= startTime) {
        // More than MaxCatchUpPeriods ticks overdue (a long stall: interrupt
        // time went on while nothing ran): skip to the next boundary as a
        // resume does, rather than deliver a burst.
        const ULONGLONG elapsed =
            static_cast<ULONGLONG>(now - startTime) / static_cast<ULONGLONG>(framePeriod);
        if (elapsed >= latest + 1 + MaxCatchUpPeriods) {
            latest = elapsed;
        }
    }
    ArmTickAfter(latest);
    KeReleaseSpinLockFromDpcLevel(&scheduleLock);
}

// DISPATCH_LEVEL, resident; inside a Running tick, after the snapshot. Fills
// the head buffer when the queued buffers together can take an image: one
// buffer per tick, `height` rows of lineBytes at the buffer's stride, each row
// written only if it lies wholly inside the buffer's byteCount and wholly
// inside the snapshot. The buffer counts as completed either way.
VCAM_RESIDENT void FrameEngine::FillFrame() {
    KeAcquireSpinLockAtDpcLevel(&queueLock);
    if (imageSize != 0 && queuedCount != 0 && queuedBytes >= imageSize) {
        PLIST_ENTRY link = RemoveHeadList(&queue);
        --queuedCount;
        QueuedBuffer* entry = CONTAINING_RECORD(link, QueuedBuffer, link);

        const LONG rowLength = LayoutLineBytes(layout, width);
        const ULONGLONG lineBytes = rowLength > 0 ? static_cast<ULONGLONG>(rowLength) : 0;
        ULONGLONG stride = lineBytes;
        PKSSTREAM_HEADER header =
            entry->streamPointer != nullptr ? entry->streamPointer->StreamHeader : nullptr;
        if (header != nullptr && header->Size >= kHeaderWithFrameInfo) {
            const LONG pitch = VcamSurfacePitch(reinterpret_cast<const KS_FRAME_INFO*>(header + 1));
            if (pitch != 0) {
                // A negative pitch describes the same rows; rows always go top
                // to bottom. Widened first, so the magnitude of the most
                // negative pitch is exact.
                const LONGLONG wide = pitch;
                stride = static_cast<ULONGLONG>(wide < 0 ? -wide : wide);
            }
        }

        ULONGLONG sourceOffset = 0;
        for (ULONG row = 0; row < height; ++row) {
            const ULONGLONG targetOffset = static_cast<ULONGLONG>(row) * stride;
            if (targetOffset + lineBytes > entry->byteCount ||
                sourceOffset + lineBytes > imageSize) {
                break;  // offsets only grow: no later row fits either
            }
            RtlCopyMemory(entry->target + targetOffset, snapshot + sourceOffset,
                          static_cast<SIZE_T>(lineBytes));
            sourceOffset += lineBytes;
        }

        ++completedFrames;
        queuedBytes -= entry->byteCount;
        ExFreeToNPagedLookasideList(&entryPool, entry);
    }
    KeReleaseSpinLockFromDpcLevel(&queueLock);
}

// PASSIVE_LEVEL, pageable; PushFrame of the device, in the pushing thread.
//
// The length picks the layout: shorter than width x height x 3 is I420,
// anything else RGB24. The image is written whole into the unpublished slot
// and then published, so a tick always copies one complete image:
//  - I420 becomes YUY2; a push shorter than the bytes its planes span is
//    dropped (nothing is read beyond the pushed bytes).
//  - RGB24 (B, G, R; first row on top) becomes YUY2 when the stream is YUY2
//    (Yuy2Layout), is stored bottom-up as it stands when the stream is RGB24
//    (Rgb24Layout), and is dropped for an I420 stream, which has no RGB form.
//  - A result that would not fit in imageSize bytes (a slot holds no more;
//    an odd width's last YUY2 group spills two bytes past the image) is
//    dropped rather than written past the slot.
// Pushes are serialised by writeGate; a push waits for another push, and for
// a tick only while that tick still copies the slot the push needs.
VCAM_PAGE void FrameEngine::WriteFrame(const UCHAR* data, ULONG length) {
    PAGED_CODE();
    if (data == nullptr || length == 0) {
        return;
    }
    if (!ExAcquireRundownProtection(&pushRundown)) {
        return;  // not started, or stopping: the buffers may be gone
    }
    if (AtomicRead(&state) != EngineRunning || width == 0 || height == 0) {
        ExReleaseRundownProtection(&pushRundown);
        return;
    }

    const ULONG rgbSize = width * height * 3;  // exact: Start bounded it
    const ULONGLONG yuy2Extent = Yuy2Extent(width, height);
    // The conversions take signed 32-bit sizes and strides of up to
    // 3 x width.
    const bool yuy2Fits = yuy2Extent <= imageSize && width <= 0x2AAAAAAA;
    PushPath path = PushDropped;
    if (length < rgbSize) {
        if (length >= I420Extent(width, height) && yuy2Fits) {
            path = PushI420ToYuy2;
        }
    } else {
        const float bytesPerPixel = layout->BytesPerPixel();
        if (bytesPerPixel == 2.0f) {
            path = yuy2Fits ? PushRgb24ToYuy2 : PushDropped;
        } else if (bytesPerPixel == 3.0f) {
            path = rgbSize <= imageSize ? PushRgb24Copy : PushDropped;
        }
    }
    if (path == PushDropped) {
        ExReleaseRundownProtection(&pushRundown);
        return;
    }

    KeWaitForSingleObject(&writeGate, Executive, KernelMode, FALSE, nullptr);
    // Checked again under the gate: a pause that came while this push waited
    // for another one drops it, as a push made while Paused is dropped.
    if (AtomicRead(&state) == EngineRunning) {
        const LONG target = (AtomicRead(&imageState) & kPublishedSlotMask) ^ 1;
        // Only a tick that marked this slot while it was still published can
        // be reading it; no new reader can come until it is published again.
        while ((AtomicRead(&imageState) & ReadingBit(target)) != 0) {
            _mm_pause();
        }
        PUCHAR image = target == 0 ? frameBuffer : backBuffer;
        const LONG w = static_cast<LONG>(width);
        const LONG h = static_cast<LONG>(height);
        switch (path) {
            case PushI420ToYuy2:
                ConvertI420ToYuy2(data, w, data + width * height, w / 2,
                                  data + height * (width + width / 4), w / 2, image, 2 * w, w, h);
                break;
            case PushRgb24ToYuy2:
                ConvertRgb24ToYuy2(data, 3 * w, image, 2 * w, w, h);
                break;
            case PushRgb24Copy: {
                const ULONG rowBytes = width * 3;
                for (ULONG row = 0; row < height; ++row) {
                    RtlCopyMemory(image + (height - 1 - row) * rowBytes, data + row * rowBytes,
                                  rowBytes);
                }
                break;
            }
            case PushDropped:
                break;
        }
        // Publish: the push is the only writer of bit 0, so adding or
        // subtracting one flips it without disturbing the reading bits.
        InterlockedExchangeAdd(&imageState, target == 1 ? 1 : -1);
    }
    KeSetEvent(&writeGate, 0, FALSE);
    ExReleaseRundownProtection(&pushRundown);
}
