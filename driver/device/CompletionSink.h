// CompletionSink: how the device tells the claiming pin, once per engine tick,
// how many capture buffers were filled since the previous tick.
#pragma once

#include "driver/platform/Platform.h"

class CompletionSink {
  public:
    // DISPATCH_LEVEL, from the engine's timer DPC (through the device's
    // OnFrameTick), with no lock held; resident, must not block. Called on
    // every tick between StartStreaming (or a resume) and the return of
    // StopStreaming (or of a pause), count 0 included.
    virtual void FramesCompleted(ULONG count) = 0;

  protected:
    ~CompletionSink() = default;
};
