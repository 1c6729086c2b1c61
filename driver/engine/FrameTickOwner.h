// FrameTickOwner: the one call the frame engine makes upward, at the end of
// every tick. The VcamDevice implements it.
#pragma once

class FrameTickOwner {
  public:
    // DISPATCH_LEVEL, from the engine's timer DPC, with no lock held.
    // Resident; must not block.
    virtual void OnFrameTick() = 0;

  protected:
    ~FrameTickOwner() = default;
};
