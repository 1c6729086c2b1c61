// Thread suspension, for tests: "a thread at PASSIVE_LEVEL outside a critical
// region can be suspended" (a frame source stopped in a debugger, or its
// process suspended). A test arms the calling thread to be suspended at one of
// its coming suspension points; the executive offers one at the platform calls
// a thread makes (waits, events, rundown protection, critical regions, spin
// lock acquisition), and the thread is suspended there only if it runs at
// PASSIVE_LEVEL and is in no region that keeps it from being suspended: a
// critical region does or does not, per Variant::SuspendCriticalRegion (the
// host models no fast mutex or KMUTEX, so their switches change nothing).
//
// A suspended thread stays suspended until ResumeAll, or, for one suspended
// for a length of virtual time, until a PASSIVE wait on the virtual clock that
// only its resumption can end (a rundown wait whose every holder is
// suspended) has let that time pass: then the wait moves the clock on, running
// the timers due on the way, and resumes it.
//
// Locking: one mutex guards the plans; it is a leaf and is never held while
// a suspended thread waits or driver code runs.
#pragma once

#include <host/ntddk.h>

#include <cstdint>
#include <vector>

namespace host {

class Suspension {
  public:
    // Test, on the thread to be suspended: it is suspended at its `nth`
    // suspension point from now at which it can be (1: the next one), for
    // `virtualLength` of system time, or, if negative, until ResumeAll.
    static void Arm(int nth, int64_t virtualLength);
    // Test, on an armed thread that is done: drops its plan if unused.
    static void Disarm();
    // Test: blocks until `count` threads are suspended at once, or the armed
    // threads have all gone past their plans (false then).
    static bool WaitUntilSuspended(int count);
    // Test: every suspended thread runs on; disarms every plan.
    static void ResumeAll();
    // Suspended threads now.
    static int SuspendedCount();
    // Suspension points at which an armed thread was suspended since Reset.
    static int SuspensionsSince();
    // Forgets plans and counts (HostKernel::Boot); call with no thread
    // suspended.
    static void Reset();

    // ---- the executive ----
    // A suspension point of the calling thread.
    static void Point();
    // Whether the thread with ThreadState id `threadId` is suspended now.
    static bool IsSuspended(ULONG_PTR threadId);
    // System time at which the earliest timed suspension ends, or -1 if no
    // suspended thread has an end.
    static int64_t EarliestEnd();
    // Resumes every suspended thread whose end is at or before `now`; true
    // if one was resumed.
    static bool ResumeDue(int64_t now);
};

}  // namespace host
