// The platform behaviours Microsoft's documentation leaves open. A faithful
// model cannot pick one reading, so it offers each as a named option of a
// named switch; the driver must work under every option. Option 0 of each
// switch is the model's default reading; `adverse` names the option that
// stresses a driver most, used together in the all-adverse combination.
//
// Selection: VCAM_VARIANTS in the environment ("switch=option,..." or
// "adverse") is read when the host kernel boots; tests and the seeded
// interleavings set options directly. Thread-safe: options are atomics, read
// at any IRQL; they should change only while no driver code runs.
#pragma once

#include <cstdint>
#include <string>

namespace host {

enum class Variant : int {
    DeviceMutexAtStart,           // held | not-held: device mutex around Start/PostStart
    StartedFlag,                  // after-start | before-start | after-post-start
    ProcessDuringStateChange,     // serialized | overlapping
    AttemptUnderProcessingMutex,  // retried-at-release | dropped | waits
    AttemptDuringProcess,         // rerun-after | ignored
    ProcessError,                 // like-pending | like-success
    AsyncProcessing,              // serial | overlapping (ASYNCHRONOUS_PROCESSING pins)
    MappingsDataUsedOffset,       // offset-out | offset-in (GENERATE_MAPPINGS pins)
    MappingsDataUsedPointers,     // edges | any-pointer
    MappingsDataUsedUnit,         // bytes | mappings
    FailedRelock,                 // unlocked-on-new-spot | left-where-it-was
    StopFrames,                   // complete-unreferenced | cancel-clones | wait-for-clones
    LeadingEdgeAtStop,            // reset | kept
    MasterClock,                  // before-acquire | before-pause | never
    StreamTime,                   // zero-in-stop-frozen-in-pause | running-from-pause
    ClockCallIrql,                // up-to-dispatch | passive-only
    UnknownSetStatus,             // propset-not-found | not-found
    ShortDataStatus,              // buffer-too-small | as-zero-length
    KsEditLarger,                 // no-op | reallocate
    DescriptorFactories,          // after-add | before-add
    OneShotRearm,                 // overlap | never
    ClockTick,                    // 156250 | 10000 | 5000 (100 ns units)
    KsGetDeviceAbovePassive,      // accept | flag
    WaitReasonSuspended,          // accept | flag
    SuspendCriticalRegion,        // blocks | not
    SuspendFastMutex,             // blocks | not
    SuspendKmutex,                // blocks | not
    Count,
};

struct VariantInfo {
    const char* name;        // the switch's name, as VCAM_VARIANTS spells it
    const char* options[4];  // its options; option 0 is the default
    int optionCount;
    int adverse;       // the option of the all-adverse combination
    const char* rule;  // the notes' line that leaves it open
};

class Variants {
  public:
    static const VariantInfo& Info(Variant variant);
    // The selected option's index, or whether it is `option` (by name).
    static int Get(Variant variant);
    static bool Is(Variant variant, const char* option);
    static void Set(Variant variant, int option);
    // Every switch back to option 0.
    static void Reset();
    // "switch=option,...", "adverse" (every switch on its adverse option), or
    // "" (defaults). False, with *error saying why, for an unknown name.
    static bool Select(const std::string& selection, std::string* error);
    // Applies VCAM_VARIANTS once per process (HostKernel::Boot calls it); a
    // bad value is printed to stderr and the process exits with 2.
    static void ApplyEnvironment();
    // "switch=option,..." of every switch not on option 0 ("defaults" if none).
    static std::string Describe();
    // Every switch and option, one line each, for --list style output.
    static std::string Catalogue();
};

}  // namespace host
