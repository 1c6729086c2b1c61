// An open pin handle: its stream state, a later format change, and the
// capture buffers the client submits and gets back. Every call runs at
// PASSIVE_LEVEL on the caller's thread and returns NTSTATUS. Submissions and
// completions may come from different threads; state changes are serialised.
#pragma once

#include <host/ks.h>

#include "host/client/CompletedFrame.h"
#include "host/client/PinOptions.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace host {

namespace ks {
class KsFilterObject;
class KsPinObject;
}  // namespace ks

class PinHandle {
  public:
    // Closes the pin if still open.
    ~PinHandle();
    PinHandle(const PinHandle&) = delete;
    PinHandle& operator=(const PinHandle&) = delete;

    // Walks the pin to `state` one neighbouring state at a time; the first
    // step the driver refuses ends the walk with its status, the pin staying
    // in the state before that step.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const;
    // Proposes a new connection format (SetDataFormat with the old format).
    NTSTATUS SetFormat(const void* format, ULONG formatLength);

    // Queues a capture buffer of `size` bytes (`buffer` may be null) with a
    // stream header of the pin's StreamHeaderSize, written as a client does
    // (Size, FrameExtent, Data, DataUsed; the fields the driver must write
    // filled as PinOptions says); *ticket names it in its completion.
    // STATUS_INVALID_DEVICE_STATE while the pin is stopped.
    NTSTATUS Submit(void* buffer, ULONG size, uint64_t* ticket = nullptr);
    // The same with a header of `headerSize` bytes (at least a KSSTREAM_HEADER).
    NTSTATUS SubmitWithHeaderSize(void* buffer, ULONG size, ULONG headerSize,
                                  uint64_t* ticket = nullptr);

    // Cancels one submitted read, as the client's CancelIo (or the end of
    // the thread that sent it) does: STATUS_SUCCESS when the read `ticket`
    // was still pending: it comes back with STATUS_CANCELLED once the
    // platform's cancellation ran, which waits while the driver holds its
    // frame locked (so a frame filled meanwhile comes back cancelled too: the
    // model's reading, the notes say only that a locked frame is not
    // cancelled); STATUS_NOT_FOUND when
    // no read with that ticket is pending on this pin.
    NTSTATUS CancelRead(uint64_t ticket);

    // IOCTL_KS_READ_STREAM as a user-mode client sends it: `headers` holds
    // one KSSTREAM_HEADER (and the extended header behind it, Size bytes in
    // all) naming the buffer by Data and FrameExtent. The frame is queued
    // with exactly that header size; its completion carries the header bytes
    // as the driver left them (headerBytes), which the I/O manager copies
    // back into the caller's header buffer. STATUS_INVALID_PARAMETER when
    // `length` is shorter than a KSSTREAM_HEADER or than its Size, or holds
    // more than one header; else as Submit.
    NTSTATUS ReadStream(const void* headers, ULONG length, uint64_t* ticket = nullptr);
    // IOCTL_KS_PROPERTY on the pin handle, for the sets the class library
    // itself answers on a pin: KSPROPSETID_Connection STATE (get; set walks
    // the state as SetState does) and ALLOCATORFRAMING_EX (get). Input is a
    // KSPROPERTY, output the value. STATUS_BUFFER_TOO_SMALL for a value
    // buffer shorter than the value (STATUS_BUFFER_OVERFLOW and its size in
    // `returned` for an empty one); an unknown id is STATUS_NOT_FOUND, an unknown
    // set STATUS_PROPSET_NOT_FOUND, as the filter's dispatch answers them.
    NTSTATUS Ioctl(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                   ULONG* returned);

    // Waits until a buffer has come back: STATUS_SUCCESS, or STATUS_TIMEOUT.
    // On the virtual clock the wait advances system time (running the timers
    // that fall due, in order) until a buffer is back or `timeout` of
    // system time has passed.
    NTSTATUS WaitForCompletion(std::chrono::milliseconds timeout);
    // The oldest buffer given back, or STATUS_NO_MORE_ENTRIES.
    NTSTATUS TakeCompleted(CompletedFrame* frame);
    size_t CompletedCount() const;

    // Walks the pin down to KSSTATE_STOP and closes it; buffers still queued
    // come back (cancelled) and can be taken afterwards.
    NTSTATUS Close();

    // The framing the pin asks for now (its descriptor's AllocatorFraming,
    // first item), STATUS_NOT_FOUND when it has none.
    NTSTATUS GetAllocatorFraming(KSALLOCATOR_FRAMING_EX* framing) const;
    ULONG StreamHeaderSize() const;
    // Assigns the pin a master clock (KSPROPERTY_STREAM_MASTERCLOCK):
    // STATUS_SUCCESS in KSSTATE_STOP or KSSTATE_ACQUIRE (a clock changes only
    // while the graph is stopped), STATUS_INVALID_DEVICE_STATE otherwise.
    NTSTATUS SetMasterClock();
    // Whether the pin has a master clock now.
    bool HasMasterClock() const;
    // The master clock's stream time and the system time of the same instant,
    // read as the client owning the clock reads it; false without a clock.
    bool ClockCorrelatedTime(int64_t* streamTime, int64_t* systemTime) const;
    // For tests: threads of the driver blocked in KsPinAcquireProcessingMutex
    // on this pin now.
    int ProcessingMutexWaiters() const;
    // For inspection by tests: the KSPIN as the driver sees it.
    PKSPIN KsPin() const;

  private:
    friend class FilterHandle;
    PinHandle(std::shared_ptr<ks::KsFilterObject> filter, std::shared_ptr<ks::KsPinObject> pin,
              const PinOptions& options);

    std::shared_ptr<ks::KsFilterObject> filter_;  // the filter the pin is open on
    std::shared_ptr<ks::KsPinObject> pin_;        // the class library's pin
    PinOptions options_;                          // as the pin was created with
};

}  // namespace host
