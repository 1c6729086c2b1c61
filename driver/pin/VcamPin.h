// VcamPin: the capture pin's object, one per KS pin instance, in
// KSPIN.Context and owned by the pin's object bag (which frees it with the
// pin). It carries capture buffers from the pin's leading edge into the frame
// engine (through the VcamDevice) and hands them back, stamped, as the device
// reports them filled; it follows the pin through its stream states,
// claiming, starting, pausing and stopping the engine; and it keeps the pin's
// own copy of its connection format.
//
// Locking: the class library runs Create, SetDataFormat and SetDeviceState
// one at a time under the filter's control mutex, and Process one call at a
// time under the pin's processing mutex; Process may run while
// SetDeviceState does (st/filter-control-mutex-in-avstream names no
// processing mutex there). So SetDeviceState takes the processing mutex
// (KsPinAcquireProcessingMutex) around everything Process also touches: the
// stream gate, the clones, the clock and the frame bookkeeping; never around
// the engine's stop or pause, which wait up to 100 ms for the last tick.
// FramesCompleted runs in the engine's timer DPC, possibly beside Process,
// and never beside DeleteClones or the release of the engine (StopStreaming
// and a pause wait for the last tick).
#pragma once

#include "driver/device/CompletionSink.h"
#include "driver/engine/EngineState.h"
#include "driver/platform/Platform.h"

class VcamDevice;

class VcamPin final : public CompletionSink {
  public:
    // PASSIVE_LEVEL, pageable; Create, on zero-filled pool memory.
    VcamPin(PKSPIN pin, VcamDevice* device);
    // Resident: the bag free routine runs wherever the class library frees
    // the pin. Releases nothing; the bag owns every block the pin added.
    ~VcamPin() = default;

    // ---- entry points named by the pin descriptor's dispatch table ----

    // KSPIN_DISPATCH Create. PASSIVE_LEVEL, pageable; the class library, after
    // SetDataFormat accepted the connection format. Builds the VcamPin, the
    // first format copy, and the pin's private descriptor and framing.
    static NTSTATUS DispatchCreate(PKSPIN Pin, PIRP Irp);
    // KSPIN_DISPATCH SetDeviceState. PASSIVE_LEVEL, pageable; the class
    // library, one neighbouring step at a time.
    static NTSTATUS DispatchSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
    // KSPIN_DISPATCH Process. PASSIVE_LEVEL, pageable; the class library, one
    // call at a time, only in KSSTATE_RUN.
    static NTSTATUS DispatchProcess(PKSPIN Pin);
    // Bag free routine for the VcamPin. Resident; any IRQL at which the class
    // library frees a pin. Destroys the object and returns its memory.
    static void BagFree(PVOID item);

    // ---- operations ----

    // PASSIVE_LEVEL, pageable; DispatchProcess. Hands every frame at the
    // leading edge to the device, one clone per frame.
    NTSTATUS Process();
    // DISPATCH_LEVEL, resident; the device's OnFrameTick from the engine's
    // timer DPC. Stamps and deletes the `count` oldest clones that are filled.
    void FramesCompleted(ULONG count) override;
    // PASSIVE_LEVEL, pageable; SetDeviceState on the way down to ACQUIRE or
    // STOP, after the engine stopped, with the processing mutex held. Returns
    // every outstanding frame unfilled (DataUsed 0). Always STATUS_SUCCESS.
    NTSTATUS DeleteClones();
    // PASSIVE_LEVEL, pageable; Create and SetDataFormat (pin stopped). Makes
    // a new bag-owned copy of the connection format's video info header,
    // frees the copy it replaces and returns the new one; null on failure,
    // with `videoInfo` left on the previous copy, which stays.
    PKS_VIDEOINFOHEADER CopyVideoInfo();
    // PASSIVE_LEVEL, pageable; DispatchSetDeviceState. The states are the
    // 32-bit values the class library passed, which need not be one of the
    // four KSSTATE values (any other target is accepted and changes nothing).
    NTSTATUS SetDeviceState(ULONG to, ULONG from);

    // ---- fields, in their documented order ----

    // The pin this object serves. Set at construction; not owned.
    PKSPIN ksPin;
    // The Context of the pin's KS device. Set at construction; not owned.
    VcamDevice* deviceContext;
    // What this pin last did to the frame engine: Stopped, Paused, Running.
    // Written only by SetDeviceState (serialised by the class library).
    EngineState streamingState;
    // The pin's reference clock, one counted reference, or null. Asked for on
    // STOP -> ACQUIRE and again on the moves to PAUSE and RUN while still
    // null (a client may assign its master clock late); released at STOP.
    // Written by SetDeviceState under the processing mutex; read by Process
    // (under it) and by FramesCompleted only while the engine ticks, which
    // lies entirely inside the span it is set.
    PIKSREFERENCECLOCK referenceClock;
    // The pin's own copy of the connection format's video info header (bitmap
    // header included); owned by the pin's bag. Replaced only by
    // CopyVideoInfo while the pin is stopped, which frees the one it replaces
    // (no claim borrows it then); never null once Create passed.
    PKS_VIDEOINFOHEADER videoInfo;
    // The youngest clone, made for the frame at the leading edge, whose piece
    // the device has not accepted yet; null otherwise. Locked, like every
    // clone of the pin, so its frame (and the edge on it) stays put even if
    // the client cancels the read. Process only, and DeleteClones (which
    // resets it) when no Process can run.
    PKSSTREAM_POINTER pendingClone;
    // Process last ended without handing over every available frame. Plain
    // byte stores: set by Process, cleared by FramesCompleted.
    BOOLEAN processPending;
    // The pin holds the device's frame engine. SetDeviceState only.
    BOOLEAN engineClaimed;
    // Frames completed since the last move to ACQUIRE or PAUSE. Incremented by
    // FramesCompleted; reset by SetDeviceState while no tick can run.
    LONGLONG frameNumber;
    // Fills the device reported that the walk could not complete yet: the
    // oldest clone's handed-over count had not caught up because Process had
    // queued its piece but not yet noted it, or no clock correlation was
    // taken yet in this run. Carried into the next call rather than dropped,
    // so no filled frame comes back empty at stop. FramesCompleted only;
    // reset by DeleteClones while no tick runs.
    ULONG owedCompletions;
    // Process may hand frames to the engine: set when the engine starts or
    // resumes, cleared before the way down stops it. Processing mutex.
    BOOLEAN streamOpen;
    // A correlation of this run is in clockStreamTime/clockInterruptTime
    // [clockSlot]. Set by SetDeviceState (release store) as the pin enters
    // RUN, cleared by it on the way out, both while no tick runs;
    // FramesCompleted reads it (acquire), then clockSlot, then that slot.
    BOOLEAN clockCorrelated;
    // Process took this run's own correlation (slot 1). Processing mutex.
    BOOLEAN clockRefined;
    // The slot FramesCompleted uses: 0, taken by SetDeviceState just before
    // the engine starts or resumes (the pin is still PAUSE then: stream time
    // may not have started running yet); 1, taken by the first Process in
    // RUN, the instant the clock's documentation asks for. Each slot is
    // written once per run, before clockSlot names it (release store).
    ULONG clockSlot;
    // The clock's stream time, and KeQueryInterruptTime read right after it:
    // FramesCompleted extrapolates presentation times from them with
    // interrupt time, so it never calls the clock at DISPATCH_LEVEL.
    LONGLONG clockStreamTime[2];
    LONGLONG clockInterruptTime[2];

    // The context of every clone this pin makes (KSSTREAM_POINTER.Context).
    struct CloneContext {
        // Where in the frame's data buffer the next piece for the device
        // starts. Process only.
        PUCHAR writeCursor;
        // Bytes of the frame to hand to the device: its room when the clone
        // was made. Set once by Process before the clone is queued.
        ULONG frameBytes;
        // Bytes of the frame the device has accepted. Written by Process
        // (release store) after the device took them; read by
        // FramesCompleted (acquire) to tell a frame handed over in full.
        ULONG handedOver;
    };
    static CloneContext* ContextOf(PKSSTREAM_POINTER clone) {
        return static_cast<CloneContext*>(clone->Context);
    }

  private:
    // PASSIVE_LEVEL, pageable; the way down: closes the stream gate, stops
    // the engine if this pin started it, and deletes the clones.
    void StopStreamingAndDeleteClones();
    // PASSIVE_LEVEL, pageable; SetDeviceState: asks the class library for
    // the clock while the pin has none.
    void PickUpClock();
    // PASSIVE_LEVEL, pageable; processing mutex held: takes a clock
    // correlation into `slot` and makes it the one in use.
    void CorrelateClock(ULONG slot);
    // DISPATCH_LEVEL, resident; FramesCompleted: stamps one filled frame.
    void StampFilled(PKSSTREAM_HEADER header);
};
