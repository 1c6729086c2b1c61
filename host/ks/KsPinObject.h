// A pin instance: the KSPIN with its bag, connection format, state, stream
// queue, processing and reference clock.
//
// Creation, as the platform does it: the connection format must pair with one
// of the pin factory's data ranges (MajorFormat, SubFormat, Specifier equal or
// wildcard; else STATUS_NO_MATCH); the KSPIN is built in KSSTATE_STOP with
// ConnectionFormat pointing at a copy of exactly FormatSize bytes and
// StreamHeaderSize sizeof(KSSTREAM_HEADER); SetDataFormat runs with OldFormat
// NULL and the paired range, then Create. A failure of either deletes the pin
// (its bag is freed; Close is not called).
//
// States: a change is walked through the neighbouring states one step at a
// time (STOP <-> ACQUIRE <-> PAUSE <-> RUN), SetDeviceState(to, from) per
// step; KSPIN.DeviceState is the old state during the call and the new one
// after success; a failure leaves the pin in the old state and ends the walk.
// Reaching STOP checks that no stream pointer is left locked and flushes the
// queue. SetDeviceState and SetDataFormat run under the filter's control
// mutex (st/filter-control-mutex-in-avstream), not the processing mutex:
// Process may run while they do (variant process-during-state-change:
// overlapping, or serialized, where they also hold the processing mutex).
// Entering the minimum processing state asks for processing only when
// frames are queued.
//
// Clock: the pin has none until the client assigns a master clock
// (KsPinOptions::clock, AssignMasterClock); KsPinGetReferenceClockInterface
// fails with STATUS_DEVICE_NOT_READY before that.
//
// Close walks the pin down to STOP (a step the driver fails is taken anyway:
// a close cannot fail), stops processing, calls the driver's Close, reports
// clones still outstanding and drops them, and frees the bag.
//
// Every call of the driver's Create, Close, SetDataFormat and SetDeviceState
// is timed by KsCallbackDeadline (500 ms of system time on the virtual
// clock); Process is not.
#pragma once

#include <host/ks.h>

#include "host/ks/KsObjectBag.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace host::ks {

class KsFilterObject;
class KsPinProcessor;
class KsReferenceClock;
class KsStreamQueue;

struct KsPinOptions {
    // When the client assigns the master clock (KSPROPERTY_STREAM_MASTERCLOCK).
    enum class ClockAt {
        Creation,        // before the pin first leaves KSSTATE_STOP
        AcquireToPause,  // as the walk goes from KSSTATE_ACQUIRE to KSSTATE_PAUSE
        Never,
    };
    ClockAt clock = ClockAt::Creation;
    // The master-clock variant's choice.
    static ClockAt ClockFromVariant();
};

class KsPinObject : public std::enable_shared_from_this<KsPinObject> {
  public:
    // PASSIVE_LEVEL, from the filter (which checked the instance limit).
    static NTSTATUS Create(KsFilterObject* filter, ULONG pinId,
                           const KSPIN_DESCRIPTOR_EX* descriptor, const void* format,
                           ULONG formatLength, const KsPinOptions& options,
                           std::shared_ptr<KsPinObject>* pin);
    KsPinObject(KsFilterObject* filter, ULONG pinId, const KSPIN_DESCRIPTOR_EX* descriptor,
                const KsPinOptions& options);
    ~KsPinObject();
    KsPinObject(const KsPinObject&) = delete;
    KsPinObject& operator=(const KsPinObject&) = delete;

    // ---- client requests, PASSIVE_LEVEL ----
    NTSTATUS SetState(KSSTATE target);
    // System sleep and wake (st/power-and-state-changes-in-avstream), the
    // device mutex held by the caller: a running pin is paused before the
    // device's SetPower and runs again on wake. ClientState keeps the
    // client's request. SetDeviceState runs with the filter control mutex
    // held, as for every state change.
    void Sleep();
    NTSTATUS Wake();
    // A later format change: SetDataFormat with the old format; on failure
    // the old format stays the connection format.
    NTSTATUS SetFormat(const void* format, ULONG formatLength);
    // Queues a buffer with the stream header of `headerSize` bytes at
    // `header`, as the client wrote it (Data and FrameExtent name the
    // buffer). STATUS_INVALID_DEVICE_STATE in KSSTATE_STOP,
    // STATUS_INVALID_PARAMETER for a header shorter than KSSTREAM_HEADER.
    NTSTATUS Submit(const void* header, ULONG headerSize, uint64_t* ticket);
    void Close();
    bool Closed() const { return closed_.load(); }

    KSSTATE State() const { return state_.load(); }
    ULONG Id() const { return ksPin_.Id; }
    PKSPIN KsPin() { return &ksPin_; }
    KsFilterObject* Filter() const { return filter_; }
    const std::shared_ptr<KsStreamQueue>& Queue() const { return queue_; }
    ULONG HeaderSize() const;

    // ---- the driver's calls ----
    // IRQL <= DISPATCH_LEVEL. Does nothing unless processing is allowed.
    void AttemptProcessing();
    NTSTATUS ReferenceClock(PIKSREFERENCECLOCK* clock);
    // PASSIVE_LEVEL: KsPinAcquireProcessingMutex / KsPinReleaseProcessingMutex.
    void AcquireProcessingMutex(const void* caller);
    void ReleaseProcessingMutex(const void* caller);
    KsPinProcessor* Processor() const { return processor_.get(); }

    // ---- client requests, PASSIVE_LEVEL ----
    // KSPROPERTY_STREAM_MASTERCLOCK: STATUS_SUCCESS in KSSTATE_STOP or
    // KSSTATE_ACQUIRE, STATUS_INVALID_DEVICE_STATE once the pin is paused or
    // running (a clock changes only while the graph is stopped).
    NTSTATUS AssignMasterClock();
    bool HasMasterClock();
    // The master clock's stream time and the system time of the same instant,
    // as the client that owns the clock reads them; false while the pin has
    // no master clock.
    bool ClockCorrelatedTime(LONGLONG* streamTime, LONGLONG* systemTime);

    // ---- the processor's ----
    bool ProcessingAllowed() const;
    // With the processing mutex held: one call of the driver's Process.
    NTSTATUS CallProcess();
    bool FrameAtEdge();
    uint64_t Generation() const;
    // Where the leading edge stands (its frame and offset), for telling
    // whether a Process call moved it.
    uint64_t EdgePosition();
    // The driver's Process routine, for reports.
    const void* ProcessRoutine() const;

  private:
    NTSTATUS Initialize(const void* format, ULONG formatLength, const KSDATARANGE* range);
    // One neighbouring step; `force` takes it even when the driver fails it.
    NTSTATUS Step(KSSTATE to, bool force);
    // Deletes a pin whose creation failed.
    void DeleteFailed();
    void ReleaseClock();
    void UpdateMinimumProcessingState();
    NTSTATUS CallSetDataFormat(PKSDATAFORMAT oldFormat, const KSDATARANGE* range);
    // Whether a control callback also holds the processing mutex
    // (process-during-state-change=serialized).
    static bool SerializedWithProcess();
    void AssignClockLocked();

    KsFilterObject* filter_;                // the filter; outlives its pins
    KSPIN ksPin_;                           // the driver's view; written under the processing mutex
    KsObjectBag bag_;                       // the pin's bag
    std::unique_ptr<UCHAR[]> format_;       // ConnectionFormat's block
    std::shared_ptr<KsStreamQueue> queue_;  // frames and stream pointers
    std::shared_ptr<KsPinProcessor> processor_;    // Process scheduling, processing mutex
    std::mutex clockMutex_;                        // guards clock_
    KsReferenceClock* clock_;                      // nullptr until assigned; pin holds a reference
    KsPinOptions::ClockAt clockAt_;                // when the client assigns it
    std::atomic<KSSTATE> state_;                   // KSPIN.DeviceState for other threads
    std::atomic<KSSTATE> minimumProcessingState_;  // RUN or PAUSE, from the descriptor flags
    std::atomic<bool> closed_;                     // closed, or creation failed
    std::mutex controlMutex_;                      // serialises the client requests on this pin
    bool asleep_ = false;                          // paused by Sleep, to run at Wake; controlMutex_
};

}  // namespace host::ks
