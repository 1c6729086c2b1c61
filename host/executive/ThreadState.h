// What the executive keeps per thread: the IRQL the thread runs at, whether
// it is inside a DPC routine, and a small non-zero id used as a spin lock's
// owner mark.
#pragma once

#include <host/ntddk.h>

#include <cstdint>

namespace host {

class ThreadState {
  public:
    // Any IRQL; the calling thread's current IRQL (PASSIVE_LEVEL at start).
    static KIRQL Irql();
    static void SetIrql(KIRQL irql);

    // True while the calling thread runs a DPC routine.
    static bool InDpc();
    static void SetInDpc(bool inDpc);

    // A process-unique, non-zero id of the calling thread.
    static ULONG_PTR Id();

    // Back to PASSIVE_LEVEL, outside any DPC, holding no lock (HostKernel::Boot
    // calls it, so a test that failed half-way does not leak its IRQL or its
    // held locks into the next one on the same thread).
    static void ResetCurrentThread();
};

}  // namespace host
