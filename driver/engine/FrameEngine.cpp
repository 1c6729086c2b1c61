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
// pool memory. Pushes are refused until the first Start: there is no image
// store yet.
VCAM_PAGE FrameEngine::FrameEngine(FrameTickOwner* tickOwner) {
    PAGED_CODE();
    owner = tickOwner;
    KeInitializeDpc(&tickDpc, FrameEngineTickDpc, this);
    KeInitializeEvent(&tickDone, SynchronizationEvent, FALSE);
    KeInitializeTimer(&tickTimer);
    KeInitializeSpinLock(&queueLock);
    KeInitializeSpinLock(&scheduleLock);
    KeInitializeSpinLock(&imagesLock);
    InitializeListHead(&queue);
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

    startTime = now;

    // Slot 0 holds width x height x 3 bytes, slot 1 imageSize. Nothing is
    // kept from a failed Start: no Stop follows it.
    ImageStore* store =
        ImageStore::Create(layout, width, height, imageSize, static_cast<ULONG>(rgbBytes));
    if (store == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ExInitializeNPagedLookasideList(&entryPool, nullptr, nullptr, POOL_NX_ALLOCATION,
                                    sizeof(QueuedBuffer), VCAM_TAG_ENTRY, 0);
    // The store exists: pushes may come in from now on.
    ImageStore::Exchange(&images, &imagesLock, store);  // nothing to replace
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
    // No tick runs or is pending now, and later pushes find no store. A push
    // in progress keeps the store alive with its own reference and frees it
    // when it drops the last one; Stop never waits for it.
    ImageStore* store = ImageStore::Exchange(&images, &imagesLock, nullptr);
    if (store != nullptr) {
        store->Release();
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
    if (AtomicRead(&state) == EngineStopped) {
        // Never started, or stopped: the entry list may be gone. Stop sets
        // the state before it takes queueLock to drain, so a piece queued
        // before that is drained and none after it gets in.
        KeReleaseSpinLock(&queueLock, oldIrql);
        return 0;
    }
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

// DISPATCH_LEVEL, resident; the tick DPC. The one-shot timer is re-armed only
// as the tick's last step, yet the next run may start on another processor
// before this one has returned: the image hand-over lets two runs read a slot
// at once, and FillFrame's work happens under queueLock.
VCAM_RESIDENT void FrameEngine::Tick() {
    ++tickIndex;
    if (AtomicRead(&state) == EngineRunning) {
        // Count in on the slot published at this instant and fill straight
        // from it: no push writes that slot until this tick leaves it. The
        // tick never waits for a push (see ImageHandover).
        // The store stays while the engine runs: Stop halts the ticks
        // before it drops the engine's reference.
        ImageStore* store = images;
        ImageHandover::Reader reader = {};
        while (!store->handover.StepTakeRead(&reader)) {
        }
        FillFrame(store->Slot(reader.slot));
        store->handover.LeaveRead(reader.slot);
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

// DISPATCH_LEVEL, resident; inside a Running tick, which holds its reader
// count on `image` (a published slot of imageSize bytes) throughout. Fills the
// head buffer when the queued buffers together can take an image: one buffer
// per tick, `height` rows of lineBytes at the buffer's stride, each row
// written only if it lies wholly inside the buffer's byteCount and wholly
// inside the image. The buffer counts as completed either way.
VCAM_RESIDENT void FrameEngine::FillFrame(const UCHAR* image) {
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
        ULONGLONG delivered = 0;
        for (ULONG row = 0; row < height; ++row) {
            const ULONGLONG targetOffset = static_cast<ULONGLONG>(row) * stride;
            if (targetOffset + lineBytes > entry->byteCount ||
                sourceOffset + lineBytes > imageSize) {
                break;  // offsets only grow: no later row fits either
            }
            RtlCopyMemory(entry->target + targetOffset, image + sourceOffset,
                          static_cast<SIZE_T>(lineBytes));
            sourceOffset += lineBytes;
            delivered = targetOffset + lineBytes;
        }
        if (header != nullptr) {
            // The capture driver writes DataUsed (the class library does not
            // for this pin): the buffer's bytes up to the end of the last row
            // written, from where the piece began. At most byteCount, so at
            // most FrameExtent.
            header->DataUsed =
                static_cast<ULONG>((entry->target - static_cast<PUCHAR>(header->Data)) + delivered);
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
// and then published, so a tick always fills from one complete image:
//  - I420 becomes YUY2; a push shorter than the bytes its planes span is
//    dropped (nothing is read beyond the pushed bytes).
//  - RGB24 (B, G, R; first row on top) becomes YUY2 when the stream is YUY2
//    (Yuy2Layout), is stored bottom-up as it stands when the stream is RGB24
//    (Rgb24Layout), and is dropped for an I420 stream, which has no RGB form.
//  - A result that would not fit in imageSize bytes (a slot holds no more;
//    an odd width's last YUY2 group spills two bytes past the image) is
//    dropped rather than written past the slot.
// The push runs inside a critical region and holds a reference on the stream's
// image store, so a pause or Stop never waits for it: a push suspended with
// its thread stays harmless, and frees the store if it was the last holder.
// Pushes into one store are serialised by its write gate; a push waits for
// another one at most PushGateWaitLimit and is dropped after that (where a
// critical region keeps a thread from being suspended, the holder is always
// running, and nothing is dropped). It waits for a tick only while that tick
// still fills from the slot the push needs.
VCAM_PAGE void FrameEngine::WriteFrame(const UCHAR* data, ULONG length) {
    PAGED_CODE();
    if (data == nullptr || length == 0) {
        return;
    }
    KeEnterCriticalRegion();
    // Paused or stopped: dropped. A pause or stop that comes after this look
    // is caught again under the gate (WriteInto).
    ImageStore* store =
        AtomicRead(&state) == EngineRunning ? ImageStore::Take(&images, &imagesLock) : nullptr;
    if (store != nullptr) {
        WriteInto(store, data, length);
        store->Release();
    }
    KeLeaveCriticalRegion();
}

// PASSIVE_LEVEL, pageable; WriteFrame, holding a reference on `store`. Uses
// only the store's own format: the engine may have stopped and started again
// with another one since the reference was taken.
VCAM_PAGE void FrameEngine::WriteInto(ImageStore* store, const UCHAR* data, ULONG length) {
    PAGED_CODE();
    const ULONG width = store->width;
    const ULONG height = store->height;
    const ULONG imageSize = store->imageSize;
    if (width == 0 || height == 0) {
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
        const float bytesPerPixel = store->layout->BytesPerPixel();
        if (bytesPerPixel == 2.0f) {
            path = yuy2Fits ? PushRgb24ToYuy2 : PushDropped;
        } else if (bytesPerPixel == 3.0f) {
            path = rgbSize <= imageSize ? PushRgb24Copy : PushDropped;
        }
    }
    if (path == PushDropped) {
        return;
    }

    LARGE_INTEGER limit;
    limit.QuadPart = -PushGateWaitLimit;
    if (KeWaitForSingleObject(&store->writeGate, Executive, KernelMode, FALSE, &limit) !=
        STATUS_SUCCESS) {
        return;  // the push holding the gate is not running: drop this one
    }
    // Checked again under the gate: a pause that came while this push waited
    // for another one drops it, as a push made while Paused is dropped. (A
    // store the engine has given up is written harmlessly: nobody reads it.)
    if (AtomicRead(&state) == EngineRunning) {
        // Only ticks that counted in on the unpublished slot while it was
        // still published can be reading it; each leaves after one fill.
        ImageHandover::Writer writer = {};
        while (!store->handover.StepTakeWrite(&writer)) {
            _mm_pause();
        }
        const LONG target = writer.slot;
        PUCHAR image = store->Slot(target);
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
        store->handover.Publish(target);
    }
    KeSetEvent(&store->writeGate, 0, FALSE);
}
