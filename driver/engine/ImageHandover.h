// ImageHandover: how the frame engine's current image passes from pushes to
// ticks without a lock. There are two image slots and one of them is
// published. Pushes are the writers (one at a time: the engine serialises
// them); ticks are the readers, and two of them may overlap, because the tick
// timer's DPC, re-armed inside itself, can start on a second processor while
// the first run still fills its buffer.
//
// The rules that keep every delivered image whole:
//  - a reader learns which slot is published and counts itself in on it in
//    one compare-exchange, so its count can only ever land on the slot that
//    is published at that instant, and it never waits for a writer;
//  - a writer writes only the slot that is not published, and starts only
//    once the readers counted in on that slot (while it was still published)
//    have left; no new reader can come before the writer publishes it.
//
// Each routine is one atomic step on `state`, or a step that tells its caller
// to call it again: the engine loops over them, and a test drives the steps
// of several pushes and ticks in every order they could run.
#pragma once

#include "driver/platform/Platform.h"

class ImageHandover {
  public:
    // A reader's progress in taking the published slot; zero-initialise it
    // before the first StepTakeRead.
    struct Reader {
        LONG observed;    // the last value of state this reader saw
        LONG slot;        // the slot counted in on, once StepTakeRead returned TRUE
        BOOLEAN started;  // observed holds a value read from state
    };
    // A writer's progress in taking the unpublished slot; zero-initialise it.
    struct Writer {
        LONG slot;       // the slot to write: not published when chosen
        BOOLEAN chosen;  // slot was chosen
    };

    // Any IRQL; while no reader or writer is active (Start). Slot 0 is
    // published, nobody reads either slot.
    void Reset();

    // Any IRQL up to DISPATCH_LEVEL; a tick. One atomic step: TRUE once the
    // reader is counted in on the slot that was published at that instant
    // (reader->slot); FALSE asks for another step (a push published in
    // between, or the first step only read the state). Never waits.
    BOOLEAN StepTakeRead(Reader* reader);
    // Any IRQL up to DISPATCH_LEVEL; the reader that took `slot`, once it no
    // longer reads it. One atomic step.
    void LeaveRead(LONG slot);

    // Any IRQL up to DISPATCH_LEVEL; the one writer (the push holding the
    // engine's write gate). One atomic step: the first one chooses the slot
    // that is not published (writer->slot); TRUE once no reader is left on
    // it, FALSE while one still is (the caller spins: a reader leaves after
    // one fill).
    BOOLEAN StepTakeWrite(Writer* writer);
    // Any IRQL up to DISPATCH_LEVEL; the writer, after writing `slot` whole.
    // One atomic step: `slot` becomes the published slot.
    void Publish(LONG slot);

    // Any IRQL; one atomic read each.
    LONG PublishedSlot();
    LONG ReadersOf(LONG slot);

    // Bit 0: the published slot. Bits 1-15: readers counted in on slot 0;
    // bits 16-30: on slot 1 (one per tick run in progress, so at most one per
    // processor). Interlocked only.
    volatile LONG state;
};
