// QueuedBuffer: one entry of the frame engine's queue, one per capture buffer
// that waits for an image. Entries come from the engine's lookaside list and
// belong to the engine from QueueBuffer until FillFrame or Stop returns them.
#pragma once

#include "driver/platform/Platform.h"

struct QueuedBuffer {
    // Links in FrameEngine::queue; first, so an entry and its link share one
    // address. Guarded by FrameEngine::queueLock.
    LIST_ENTRY link;
    // The clone stream pointer the pin made for the capture buffer; not owned
    // (the pin deletes it). Read by FillFrame for the buffer's stream header.
    PKSSTREAM_POINTER streamPointer;
    // Where the image goes in the capture buffer: the pin's writeCursor at the
    // time the buffer was queued.
    PUCHAR target;
    // Bytes of the capture buffer given to the engine.
    ULONG byteCount;
};
