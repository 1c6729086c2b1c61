// How long each DPC routine runs, on the real clock: the executive times
// every run of a DPC routine (steady clock, from the call to its return, in
// either clock mode) and notes which routines timers queue. vcam reads the
// record through HostKernel::DpcRoutineTimings to report the frame tick's own
// duration against the 100 us a DPC routine should stay under.
//
// Locking: one mutex guards the record; it is a leaf, taken only around the
// record's own updates (never while a DPC routine runs).
#pragma once

#include <host/executive/HostKernel.h>

#include <chrono>
#include <vector>

namespace host {

class DpcTiming {
  public:
    // Any thread; the executive, when a timer queues its DPC.
    static void NoteTimerRoutine(const void* routine);
    // Forgets every record (HostKernel::Boot).
    static void Reset();
    // Every routine timed since the last Reset, in no particular order.
    static std::vector<DpcRoutineTiming> Records();

    // Times one run of `routine` for its scope (the executive, around the
    // call of a DPC routine).
    class Run {
      public:
        explicit Run(const void* routine)
            : routine_(routine), start_(std::chrono::steady_clock::now()) {}
        ~Run();
        Run(const Run&) = delete;
        Run& operator=(const Run&) = delete;

      private:
        const void* routine_;
        std::chrono::steady_clock::time_point start_;
    };

    // Samples kept per routine; later runs still count and raise the maximum.
    static constexpr size_t kMaxSamples = 1u << 20;
};

}  // namespace host
