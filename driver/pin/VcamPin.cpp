#include "driver/pin/VcamPin.h"

#include "driver/device/Pool.h"
#include "driver/device/VcamDevice.h"

namespace {

// A stream header this large is followed by a KS_FRAME_INFO.
const ULONG kFrameInfoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
static_assert(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) == 128,
              "a stream header with its frame information");
// The video info fields ahead of bmiHeader.
const ULONG kInfoFieldsSize = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
// Capture buffers the pin asks the allocator for.
const ULONG kFramingFrames = 2;

// processPending is written by Process and by FramesCompleted on another
// processor, with no lock: single-byte loads and stores, spelled so that the
// compiler emits exactly one indivisible access for each (a plain byte move
// on x64) and a thread checker sees the sharing is intended. No ordering is
// needed: a set that a completion call misses is seen one tick later.
inline BOOLEAN LoadFlag(const BOOLEAN* flag) {
    return __atomic_load_n(flag, __ATOMIC_RELAXED);
}
inline void StoreFlag(BOOLEAN* flag, BOOLEAN value) {
    __atomic_store_n(flag, value, __ATOMIC_RELAXED);
}

// A clone's handed-over count and the clock correlation flag are written by
// Process and read by FramesCompleted in the timer DPC on another processor,
// without a common lock: the writer publishes with a release store after the
// data it guards, the reader loads with acquire before reading that data.
inline ULONG LoadPublished(const ULONG* word) {
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
inline void Publish(ULONG* word, ULONG value) {
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}
inline BOOLEAN LoadPublishedFlag(const BOOLEAN* flag) {
    return __atomic_load_n(flag, __ATOMIC_ACQUIRE);
}
inline void PublishFlag(BOOLEAN* flag, BOOLEAN value) {
    __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

// A frame going back without an image: the fields a capture driver owns say
// so (the class library writes none of them for this pin).
void MarkUnfilled(PKSSTREAM_HEADER header) {
    header->DataUsed = 0;
    header->OptionsFlags = 0;
    header->Duration = 0;
    header->PresentationTime.Time = 0;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
}

}  // namespace

// PASSIVE_LEVEL, pageable; DispatchCreate. Every other field stays zero:
// no clock, no copy, no clone, not claimed, Stopped.
VCAM_PAGE VcamPin::VcamPin(PKSPIN pin, VcamDevice* device) : ksPin(pin), deviceContext(device) {
    PAGED_CODE();
}

// ---- creation and format copies ------------------------------------------

// PASSIVE_LEVEL, pageable; the class library. Failures after the bag took the
// VcamPin leave the clean-up to the bag: the class library deletes the pin
// whose creation failed, and the bag frees everything added so far.
VCAM_PAGE NTSTATUS VcamPin::DispatchCreate(PKSPIN Pin, PIRP Irp) {
    PAGED_CODE();
    (void)Irp;

    PVOID memory = PoolAllocateZeroed(sizeof(VcamPin), NonPagedPoolNx, VCAM_TAG_PIN);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    VcamPin* pin = new (memory) VcamPin(Pin, static_cast<VcamDevice*>(KsGetDevice(Pin)->Context));

    NTSTATUS status = KsAddItemToObjectBag(Pin->Bag, pin, BagFree);
    if (!NT_SUCCESS(status)) {
        pin->~VcamPin();
        PoolFree(memory);
        return status;
    }
    Pin->Context = pin;

    if (pin->CopyVideoInfo() == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The pin's own descriptor, then its own framing, both in the pin's bag,
    // so the framing can ask for buffers of exactly this format's image size.
    status = KsEdit(Pin, &Pin->Descriptor, VCAM_TAG_BUFFER);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PKSPIN_DESCRIPTOR_EX descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(Pin->Descriptor);
    status = KsEdit(Pin, &descriptor->AllocatorFraming, VCAM_TAG_BUFFER);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PKSALLOCATOR_FRAMING_EX framing =
        const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming);
    const ULONG imageSize = pin->videoInfo->bmiHeader.biSizeImage;
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    item.Frames = kFramingFrames;
    item.PhysicalRange.MinFrameSize = imageSize;
    item.PhysicalRange.MaxFrameSize = imageSize;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = imageSize;
    item.FramingRange.Range.MaxFrameSize = imageSize;
    item.FramingRange.Range.Stepping = 0;

    // Room behind each KSSTREAM_HEADER for a KS_FRAME_INFO.
    Pin->StreamHeaderSize = kFrameInfoHeaderSize;
    return status;
}

// PASSIVE_LEVEL, pageable; Create and SetDataFormat, never concurrently with
// each other or with SetDeviceState. SetDataFormat has made sure that
// biSize + 48 neither wraps nor runs past the connection format, and that the
// header holds at least a whole KS_BITMAPINFOHEADER.
//
// On failure `videoInfo` keeps designating the previous copy, which is still
// in the bag: it never points at freed memory, and a pin that exists (Create
// fails when the first copy cannot be had) always has a copy to claim with.
//
// On success the copy it replaces goes back to the pool at once. A client may
// set the format any number of times while the pin stays open, each time with
// a bitmap header as long as its format, so copies kept until the pin closes
// would grow non-paged pool without bound. Nothing else holds the old copy: a
// change reaches here only in KSSTATE_STOP, and the way down to STOP released
// the engine claim (ReleaseEngine clears the device's claimedVideoInfo) after
// the last tick, so no FramesCompleted reads it either.
VCAM_PAGE PKS_VIDEOINFOHEADER VcamPin::CopyVideoInfo() {
    PAGED_CODE();

    const KS_DATAFORMAT_VIDEOINFOHEADER* format =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(ksPin->ConnectionFormat);
    const ULONG size = format->VideoInfoHeader.bmiHeader.biSize + kInfoFieldsSize;

    PKS_VIDEOINFOHEADER copy = static_cast<PKS_VIDEOINFOHEADER>(
        ExAllocatePoolWithTag(NonPagedPoolNx, size, VCAM_TAG_BUFFER));
    if (copy == nullptr) {
        return nullptr;
    }
    // No free routine: the bag returns the block to the pool with the pin,
    // or the next copy does.
    if (!NT_SUCCESS(KsAddItemToObjectBag(ksPin->Bag, copy, nullptr))) {
        ExFreePool(copy);
        return nullptr;
    }
    RtlCopyMemory(copy, &format->VideoInfoHeader, size);
    PKS_VIDEOINFOHEADER replaced = videoInfo;
    videoInfo = copy;
    if (replaced != nullptr) {
        // The size the class library answers is of no use here.
        (void)KsRemoveItemFromObjectBag(ksPin->Bag, replaced, TRUE);
    }
    return copy;
}

// Resident; wherever the class library frees the pin's bag.
VCAM_RESIDENT void VcamPin::BagFree(PVOID item) {
    if (item != nullptr) {
        static_cast<VcamPin*>(item)->~VcamPin();
        PoolFree(item);
    }
}

// ---- stream states ---------------------------------------------------------

// PASSIVE_LEVEL, pageable; the class library.
VCAM_PAGE NTSTATUS VcamPin::DispatchSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
    PAGED_CODE();
    // Taken as the 32-bit values they are: a caller may pass a value outside
    // the enumeration, which C++ would not let the pin hold as a KSSTATE.
    ULONG to;
    ULONG from;
    static_assert(sizeof(KSSTATE) == sizeof(ULONG), "KSSTATE is 32 bits");
    RtlCopyMemory(&to, &ToState, sizeof(to));
    RtlCopyMemory(&from, &FromState, sizeof(from));
    return static_cast<VcamPin*>(Pin->Context)->SetDeviceState(to, from);
}

// PASSIVE_LEVEL, pageable; SetDeviceState on the way down to ACQUIRE or STOP.
// First the stream gate closes under the processing mutex, so no Process
// that starts later hands the engine anything (one in flight finishes before
// the mutex is had). The engine stop waits for the last tick and is made
// without the mutex (the verifier allows the mutex 100 ms; the wait may take
// that long). StopStreaming returns after the last tick, so no
// FramesCompleted call follows or overlaps what comes next; the clones and
// the bookkeeping go under the mutex again.
VCAM_PAGE void VcamPin::StopStreamingAndDeleteClones() {
    PAGED_CODE();
    KsPinAcquireProcessingMutex(ksPin);
    streamOpen = FALSE;
    KsPinReleaseProcessingMutex(ksPin);

    if (streamingState != EngineStopped) {
        deviceContext->StopStreaming();
        streamingState = EngineStopped;
    }

    KsPinAcquireProcessingMutex(ksPin);
    DeleteClones();
    frameNumber = 0;
    // The last tick has stamped with it; the next run correlates afresh.
    PublishFlag(&clockCorrelated, FALSE);
    KsPinReleaseProcessingMutex(ksPin);
}

// PASSIVE_LEVEL, pageable; SetDeviceState with the processing mutex held.
// KsPinGetReferenceClockInterface is a PASSIVE_LEVEL call that fails with
// STATUS_DEVICE_NOT_READY until the client assigns a master clock, which it
// may do after the pin acquired: asked again at every move up while null.
VCAM_PAGE void VcamPin::PickUpClock() {
    PAGED_CODE();
    if (referenceClock == nullptr &&
        !NT_SUCCESS(KsPinGetReferenceClockInterface(ksPin, &referenceClock))) {
        referenceClock = nullptr;
    }
}

// PASSIVE_LEVEL, pageable; DispatchSetDeviceState, one neighbouring step at a
// time (STOP-ACQUIRE, ACQUIRE-PAUSE, PAUSE-RUN). A failure goes back to the
// class library, which keeps the pin in its old state. Process may run
// meanwhile (see the class comment).
VCAM_PAGE NTSTATUS VcamPin::SetDeviceState(ULONG to, ULONG from) {
    PAGED_CODE();
    NTSTATUS status;

    switch (to) {
        case KSSTATE_STOP:
            StopStreamingAndDeleteClones();
            if (engineClaimed) {
                KsPinAcquireProcessingMutex(ksPin);
                PIKSREFERENCECLOCK clock = referenceClock;
                referenceClock = nullptr;
                KsPinReleaseProcessingMutex(ksPin);
                if (clock != nullptr) {
                    clock->Release();
                }
                deviceContext->ReleaseEngine();
                engineClaimed = FALSE;
            }
            return STATUS_SUCCESS;

        case KSSTATE_ACQUIRE:
            if (from == KSSTATE_STOP) {
                status = deviceContext->ClaimEngine(this, videoInfo);
                KsPinAcquireProcessingMutex(ksPin);
                engineClaimed = NT_SUCCESS(status) ? TRUE : FALSE;
                if (engineClaimed) {
                    // A pin without a clock streams with presentation time 0.
                    PickUpClock();
                }
                frameNumber = 0;
                KsPinReleaseProcessingMutex(ksPin);
                return status;
            }
            StopStreamingAndDeleteClones();
            return STATUS_SUCCESS;

        case KSSTATE_PAUSE:
            if (from == KSSTATE_RUN) {
                // Returns after the engine's last tick; the engine keeps its
                // queue and the pin its clones until the resume.
                status = deviceContext->SetPaused(TRUE);
                KsPinAcquireProcessingMutex(ksPin);
                if (NT_SUCCESS(status)) {
                    streamingState = EnginePaused;
                }
                // Stream time may stand still while paused: the next run
                // correlates afresh.
                PublishFlag(&clockCorrelated, FALSE);
                frameNumber = 0;
                KsPinReleaseProcessingMutex(ksPin);
                return status;
            }
            KsPinAcquireProcessingMutex(ksPin);
            PickUpClock();
            frameNumber = 0;
            KsPinReleaseProcessingMutex(ksPin);
            return STATUS_SUCCESS;

        case KSSTATE_RUN:
            KsPinAcquireProcessingMutex(ksPin);
            PickUpClock();
            // No tick runs before the engine starts or resumes below: the
            // first frames of the run are stamped from this correlation
            // until the first Process takes the run's own.
            clockRefined = FALSE;
            PublishFlag(&clockCorrelated, FALSE);
            if (referenceClock != nullptr) {
                CorrelateClock(0);
                PublishFlag(&clockCorrelated, TRUE);
            }
            KsPinReleaseProcessingMutex(ksPin);
            if (streamingState == EnginePaused) {
                status = deviceContext->SetPaused(FALSE);
            } else {
                status = deviceContext->StartStreaming();
            }
            KsPinAcquireProcessingMutex(ksPin);
            if (NT_SUCCESS(status)) {
                streamingState = EngineRunning;
                streamOpen = TRUE;
            }
            KsPinReleaseProcessingMutex(ksPin);
            return status;

        default:
            return STATUS_SUCCESS;
    }
}

// ---- streaming -----------------------------------------------------------

// PASSIVE_LEVEL, pageable; the class library.
VCAM_PAGE NTSTATUS VcamPin::DispatchProcess(PKSPIN Pin) {
    PAGED_CODE();
    return static_cast<VcamPin*>(Pin->Context)->Process();
}

// PASSIVE_LEVEL, pageable; Process, in KSSTATE_RUN (the descriptor asks for
// processing in RUN only), processing mutex held by the class library. The
// clock's documentation asks for GetCorrelatedTime, in RUN and not in the
// middle of a state change, for presentation times: this is such a point.
// Interrupt time is read by the pin itself right after, so the
// extrapolation in FramesCompleted uses one clock at both ends whatever
// base the clock's own system time has, and a system clock set moves neither.
VCAM_PAGE void VcamPin::CorrelateClock(ULONG slot) {
    PAGED_CODE();
    LONGLONG clockSystem = 0;
    clockStreamTime[slot] = referenceClock->GetCorrelatedTime(&clockSystem);
    clockInterruptTime[slot] = static_cast<LONGLONG>(KeQueryInterruptTime());
    Publish(&clockSlot, slot);
}

// PASSIVE_LEVEL, pageable; DispatchProcess, one call at a time, beside the
// engine's ticks and possibly beside SetDeviceState. Each frame reaching the
// leading edge gets one clone, which is queued to the device before the edge
// moves past the frame; the clone's handed-over count is noted after the
// device took the piece, so a tick that meets the clone in between sees it
// as not yet handed over.
VCAM_PAGE NTSTATUS VcamPin::Process() {
    PAGED_CODE();
    // This call is the processing the flag asked for.
    StoreFlag(&processPending, FALSE);
    if (!streamOpen) {
        // The way down closed the gate: the engine takes nothing more.
        StoreFlag(&processPending, TRUE);
        return STATUS_PENDING;
    }
    if (referenceClock != nullptr && !clockRefined) {
        CorrelateClock(1);
        clockRefined = TRUE;
    }

    PKSSTREAM_POINTER leadingEdge =
        KsPinGetLeadingEdgeStreamPointer(ksPin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leadingEdge == nullptr) {
        StoreFlag(&processPending, TRUE);
        return STATUS_PENDING;
    }

    for (;;) {
        const ULONG pieceBytes = leadingEdge->OffsetOut.Remaining;

        if (leadingEdge->StreamHeader->Data == nullptr || pieceBytes == 0) {
            // Nothing to fill: no clone, and the device never sees the frame.
            // A frame with no room left would be a piece of 0 bytes, which
            // the device's answer of 0 could not tell from a refusal.
            MarkUnfilled(leadingEdge->StreamHeader);
        } else {
            PKSSTREAM_POINTER clone = pendingClone;
            if (clone == nullptr) {
                // No Cancel callback: the clone stays locked for its whole
                // life (the engine writes the buffer from its DPC, which only
                // a lock allows), and a locked frame is not cancelled, so the
                // platform would never call one. A read the client cancels
                // comes back once its clone is deleted: filled, or unfilled
                // at the way down.
                const NTSTATUS status =
                    KsStreamPointerClone(leadingEdge, nullptr, sizeof(CloneContext), &clone);
                if (!NT_SUCCESS(status)) {
                    KsStreamPointerUnlock(leadingEdge, FALSE);
                    StoreFlag(&processPending, TRUE);
                    return status;
                }
                CloneContext* context = ContextOf(clone);
                context->writeCursor = static_cast<PUCHAR>(clone->StreamHeader->Data);
                context->frameBytes = pieceBytes;
                Publish(&context->handedOver, 0);
            }

            CloneContext* context = ContextOf(clone);
            const ULONG accepted =
                deviceContext->QueueBuffer(clone, &context->writeCursor, pieceBytes);
            pendingClone = (accepted == pieceBytes) ? nullptr : clone;
            if (accepted == 0) {
                // Refused: the clone and its cursor wait in pendingClone, the
                // edge stays on the frame, and the next Process offers the
                // same piece again. The clone keeps the frame locked, so a
                // cancel of its read cannot move the edge off it meanwhile:
                // the edge the next Process locks is on the clone's frame.
                KsStreamPointerUnlock(leadingEdge, FALSE);
                StoreFlag(&processPending, TRUE);
                return STATUS_PENDING;
            }
            // FramesCompleted's test for a frame handed over in full rests on
            // this count, never on DataUsed, which the class library does not
            // write for this pin.
            Publish(&context->handedOver, LoadPublished(&context->handedOver) + accepted);
        }

        // Done with the frame. An eject moves the edge on without a relock,
        // so it cannot fail; a locked advance could, past the last frame or
        // onto a cancelled one, and the class library may then leave the
        // edge where it was. The edge is got again, locked on the next frame.
        KsStreamPointerUnlock(leadingEdge, TRUE);
        leadingEdge = KsPinGetLeadingEdgeStreamPointer(ksPin, KSSTREAM_POINTER_STATE_LOCKED);
        if (leadingEdge == nullptr) {
            // The queue is used up. STATUS_SUCCESS, not STATUS_PENDING: the
            // class library calls Process again while a frame is at the pin,
            // so a frame that arrived while this call ran is not missed.
            return STATUS_SUCCESS;
        }
    }
}

// DISPATCH_LEVEL, resident; FramesCompleted, for a frame the device filled
// (it wrote DataUsed: the bytes of image it delivered). Presentation time
// comes from the run's correlation: stream time then plus the system time
// passed since, so no clock call is made at DISPATCH_LEVEL.
VCAM_RESIDENT void VcamPin::StampFilled(PKSSTREAM_HEADER header) {
    header->Duration = videoInfo->AvgTimePerFrame;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    header->PresentationTime.Time = 0;
    if (referenceClock != nullptr) {
        // Interrupt time never goes back; a read a clock interrupt older
        // than the correlation counts as no time.
        const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
        const ULONG slot = LoadPublished(&clockSlot);
        const LONGLONG passed = now > clockInterruptTime[slot] ? now - clockInterruptTime[slot] : 0;
        header->PresentationTime.Time = clockStreamTime[slot] + passed;
        header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    }

    frameNumber += 1;
    if (header->Size >= kFrameInfoHeaderSize) {
        PKS_FRAME_INFO frameInfo = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        frameInfo->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        frameInfo->dwFrameFlags = KS_VIDEO_FLAG_FRAME;
        frameInfo->PictureNumber = frameNumber;
        frameInfo->DropCount = 0;
    }
}

// DISPATCH_LEVEL, resident; the device's OnFrameTick in the engine's timer
// DPC, after the engine released its queue lock. Allocates nothing and takes
// no lock. The engine fills pieces in queue order, which is clone order, so
// the `count` frames filled since the previous call are the oldest clones.
VCAM_RESIDENT void VcamPin::FramesCompleted(ULONG count) {
    count += owedCompletions;
    owedCompletions = 0;
    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(ksPin);

    while (count != 0 && clone != nullptr) {
        PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(clone);
        const CloneContext* context = ContextOf(clone);
        const bool waitForClock = referenceClock != nullptr && !LoadPublishedFlag(&clockCorrelated);
        if (LoadPublished(&context->handedOver) < context->frameBytes || waitForClock) {
            // Not yet noted as handed over in full (Process has queued it
            // but not yet counted it), or this run has no clock correlation
            // yet (no Process ran since the resume): it stays, and younger
            // clones are not looked at in this call. The next Process takes
            // the correlation.
            owedCompletions = count;
            if (waitForClock) {
                StoreFlag(&processPending, TRUE);
            }
            break;
        }

        StampFilled(clone->StreamHeader);
        count -= 1;
        KsStreamPointerDelete(clone);
        clone = next;
    }

    // Kept set until a Process runs: an attempt the class library drops (one
    // made while Process runs, or while the mutex is held) is made again at
    // the next tick.
    if (LoadFlag(&processPending)) {
        KsPinAttemptProcessing(ksPin, TRUE);
    }
}

// PASSIVE_LEVEL, pageable; SetDeviceState on the way down, after the engine
// stopped and dropped its queue, so no FramesCompleted call overlaps it; the
// processing mutex is held, so no Process does either.
VCAM_PAGE NTSTATUS VcamPin::DeleteClones() {
    PAGED_CODE();

    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(ksPin);
    while (clone != nullptr) {
        PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(clone);
        MarkUnfilled(clone->StreamHeader);
        KsStreamPointerDelete(clone);
        clone = next;
    }
    // The refused clone, if any, was among those just deleted: the next
    // Process makes a new clone for the frame at the leading edge.
    pendingClone = nullptr;
    owedCompletions = 0;
    return STATUS_SUCCESS;
}
