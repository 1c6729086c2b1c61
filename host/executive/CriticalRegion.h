// Critical regions: KeEnterCriticalRegion/KeLeaveCriticalRegion at IRQL <=
// APC_LEVEL, nesting, per thread. Inside one, user and normal kernel APCs are
// off; whether that also keeps the thread from being suspended is a variant
// (Variant::SuspendCriticalRegion, see Suspension).
#pragma once

namespace host {

class CriticalRegion {
  public:
    // Any thread: how deep the calling thread is nested in critical regions.
    static int Depth();
    // Back to no region (ThreadState::ResetCurrentThread at Boot).
    static void ResetCurrentThread();
};

}  // namespace host
