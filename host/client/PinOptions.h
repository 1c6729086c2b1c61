// How a client creates a pin and what it puts in the stream headers it
// submits.
#pragma once

#include <host/ks.h>

#include <cstdint>

namespace host {

struct PinOptions {
    // When the client assigns the pin a master clock
    // (KSPROPERTY_STREAM_MASTERCLOCK). Until it does, the driver's
    // KsPinGetReferenceClockInterface fails with STATUS_DEVICE_NOT_READY.
    enum class Clock {
        AsVariant,      // as the master-clock variant says (before ACQUIRE by default)
        None,           // never
        BeforeAcquire,  // at pin creation, before the pin leaves KSSTATE_STOP
        BeforePause,    // late: as the pin goes from KSSTATE_ACQUIRE to KSSTATE_PAUSE
    };
    Clock clock = Clock::AsVariant;

    // The byte every field a capture driver must write is filled with when a
    // buffer is submitted (PresentationTime, Duration, OptionsFlags and the
    // KS_FRAME_INFO's ExtendedHeaderSize, dwFrameFlags, PictureNumber,
    // DropCount, FrameCompletionNumber): what the driver forgets to write
    // comes back as this pattern. The frame information's surface fields stay
    // 0 (no DirectDraw surface).
    uint8_t headerFill = 0xA5;
    // DataUsed of a submitted capture buffer (a read: 0). Input pins get the
    // buffer's size.
    ULONG submitDataUsed = 0;
};

}  // namespace host
