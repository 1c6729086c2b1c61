// ImageStore: one stream's image slots, their hand-over and the push gate, in
// one reference-counted block, so that a push never has to be waited for.
// The engine holds one reference from Start to Stop; each push holds one while
// it runs. Whoever drops the last reference frees the store: Stop, when no
// push is in progress; otherwise the last push, which may have been suspended
// (a frame source stopped in a debugger) long after its stream stopped, or
// even restarted with a store of its own.
//
// Ownership: NonPagedPoolNx, "HSim" for the block and "AVSh" for the slots.
// The fields are set by Create and then only read, except the hand-over word,
// the gate and the count.
#pragma once

#include "driver/engine/ImageHandover.h"
#include "driver/engine/PixelLayout.h"
#include "driver/platform/Platform.h"

class ImageStore {
  public:
    // PASSIVE_LEVEL, pageable. A store for images of width x height in
    // `layout` (imageSize bytes; slot 0 holds slot0Bytes >= imageSize), both
    // slots black, slot 0 published, the gate open, one reference (the
    // caller's). nullptr if pool could not be had; nothing is kept then.
    static ImageStore* Create(PixelLayout* layout, ULONG width, ULONG height, ULONG imageSize,
                              ULONG slot0Bytes);

    // PASSIVE_LEVEL (takes *lock, which guards *current). A new reference on
    // the store in *current, or nullptr if there is none. Resident and in its
    // own file, so it is never inlined into a pageable caller.
    static ImageStore* Take(ImageStore** current, PKSPIN_LOCK lock);
    // PASSIVE_LEVEL (takes *lock, which guards *current). Puts `store` in
    // *current and returns the store it replaces, whose reference passes to
    // the caller.
    static ImageStore* Exchange(ImageStore** current, PKSPIN_LOCK lock, ImageStore* store);

    // DISPATCH_LEVEL or below; only by a holder, or under the lock that
    // guards the pointer the caller found the store through.
    void Reference();
    // DISPATCH_LEVEL or below; a holder gives up its reference. The last one
    // frees the slots and the store: the caller must not touch it again.
    void Release();

    // The slot's image bytes (0 or 1).
    PUCHAR Slot(LONG slot) const { return slot == 0 ? slots[0] : slots[1]; }

    // References held: the engine's (Start..Stop) and one per push in
    // progress. Interlocked only.
    volatile LONG references;
    // Which slot is published and who reads it (see ImageHandover).
    ImageHandover handover;
    // Serialises the pushes into this store (a synchronization event used as
    // a PASSIVE_LEVEL mutex, waited for with a time limit): one writer at a
    // time owns the unpublished slot.
    KEVENT writeGate;
    // Slot 0 (slot0Bytes) and slot 1 (imageSize), owned.
    PUCHAR slots[2];
    // The stream's format when the store was made; borrowed layout (the
    // device keeps its layouts for its lifetime).
    PixelLayout* layout;
    ULONG width;      // pixels
    ULONG height;     // rows
    ULONG imageSize;  // bytes of one image in the layout
};
