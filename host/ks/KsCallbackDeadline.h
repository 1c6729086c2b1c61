// The AVStream rule "callbacks return within 500 ms", as Driver Verifier
// applies it to a minidriver's dispatch callbacks: held by the class library
// model across exactly one call of a driver callback (pin Create, Close,
// SetDataFormat, SetDeviceState; filter Create, Close). A callback that
// returns more than kLimit of system time after it was called is reported as
// Rule::KsObject through KsRules::Report, naming the callback, the driver
// routine (the report's site is the routine's entry) and the time it took in
// ms. Exactly kLimit is allowed.
//
// Judged on the virtual clock only. There system time passes inside a
// callback only when it waits at PASSIVE_LEVEL (the wait moves the clock to
// the next due timer or to its time-out), so the elapsed time is exact and a
// report always means the driver waited that long. On the real clock the
// elapsed time depends on the machine's pace, sanitizers and load, and a
// limit on it would make runs flaky: nothing is judged there.
//
// A test may set the virtual clock back while a callback runs
// (HostKernel::SetTimeWithoutRunning); a negative elapsed time is not a
// violation.
//
// Not used around Process (its limit is on the processing mutex, 100 ms,
// which the host does not model) nor around the device's PnP callbacks,
// which have no such limit.
#pragma once

#include <cstdint>

namespace host::ks {

class KsCallbackDeadline {
  public:
    // Any IRQL; by the class library model right before it calls the driver.
    // `callback` names the callback for the report ("pin SetDeviceState") and
    // must outlive the guard; `routine` is the driver routine's entry.
    KsCallbackDeadline(const char* callback, const void* routine);
    // Any IRQL; right after the driver's routine returned. Judges the call.
    ~KsCallbackDeadline();
    KsCallbackDeadline(const KsCallbackDeadline&) = delete;
    KsCallbackDeadline& operator=(const KsCallbackDeadline&) = delete;

    // 500 ms in 100 ns units: the longest a callback may take.
    static constexpr int64_t kLimit = 5000000;

  private:
    const char* callback_;  // the callback's name, for the report
    const void* routine_;   // the driver routine's entry
    bool judged_;           // the clock was virtual when the call began
    int64_t calledAt_;      // interrupt time when the call began (virtual clock only)
};

}  // namespace host::ks
