#include "driver/engine/ImageHandover.h"

namespace {

const LONG kPublishedSlotMask = 1;

// Any IRQL. One reader on `slot`, in state's count field for that slot.
inline LONG ReaderUnit(LONG slot) {
    return slot == 0 ? 0x2 : 0x10000;
}

// Any IRQL. The count field of `slot`'s readers.
inline LONG ReaderMask(LONG slot) {
    return slot == 0 ? 0xFFFE : 0x7FFF0000;
}

// Any IRQL. An interlocked read, ordered against writers on other processors.
inline LONG AtomicRead(volatile LONG* word) {
    return InterlockedCompareExchange(word, 0, 0);
}

}  // namespace

// Any IRQL, resident; Start, with no push or tick active.
VCAM_RESIDENT void ImageHandover::Reset() {
    InterlockedExchange(&state, 0);
}

// DISPATCH_LEVEL or below, resident; the tick.
VCAM_RESIDENT BOOLEAN ImageHandover::StepTakeRead(Reader* reader) {
    if (!reader->started) {
        reader->observed = AtomicRead(&state);
        reader->started = TRUE;
        return FALSE;
    }
    // Counting in and learning the slot are one step: the compare-exchange
    // fails if a push published (or another reader came or went) since the
    // state was read, and the next step retries with what it found.
    const LONG slot = reader->observed & kPublishedSlotMask;
    const LONG previous =
        InterlockedCompareExchange(&state, reader->observed + ReaderUnit(slot), reader->observed);
    if (previous != reader->observed) {
        reader->observed = previous;
        return FALSE;
    }
    reader->slot = slot;
    return TRUE;
}

// DISPATCH_LEVEL or below, resident; the tick, after its fill.
VCAM_RESIDENT void ImageHandover::LeaveRead(LONG slot) {
    InterlockedExchangeAdd(&state, -ReaderUnit(slot));
}

// PASSIVE_LEVEL in the engine (a push), resident: it runs no pageable code.
VCAM_RESIDENT BOOLEAN ImageHandover::StepTakeWrite(Writer* writer) {
    const LONG observed = AtomicRead(&state);
    if (!writer->chosen) {
        // The writer is the only one who publishes, so the choice stays true
        // until this writer publishes.
        writer->slot = (observed & kPublishedSlotMask) ^ 1;
        writer->chosen = TRUE;
    }
    // Readers on the unpublished slot counted in while it was published; they
    // leave after one fill, and no new one can come.
    return (observed & ReaderMask(writer->slot)) == 0;
}

// PASSIVE_LEVEL in the engine (a push), resident.
VCAM_RESIDENT void ImageHandover::Publish(LONG slot) {
    // The writer is the only one who changes bit 0: adding or subtracting one
    // flips it without touching the reader counts.
    InterlockedExchangeAdd(&state, slot == 1 ? 1 : -1);
}

// Any IRQL, resident.
VCAM_RESIDENT LONG ImageHandover::PublishedSlot() {
    return AtomicRead(&state) & kPublishedSlotMask;
}

// Any IRQL, resident.
VCAM_RESIDENT LONG ImageHandover::ReadersOf(LONG slot) {
    return (AtomicRead(&state) & ReaderMask(slot)) / ReaderUnit(slot);
}
