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
